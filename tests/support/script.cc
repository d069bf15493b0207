#include "tests/support/script.h"

#include "tests/support/child.h"

namespace kiv::testing {

std::vector<std::string> script_strings(const std::string& object_text,
                                        const std::string& expression) {
  TempDir dir;
  write_text(dir.path() + "answer", object_text);
  std::string script =
      "const fs = require('fs');"
      "let out;"
      "try {"
      "  const o = eval('(' + fs.readFileSync(process.argv[1], 'utf8') + ')');"
      "  const r = (" + expression + ");"
      "  out = globalThis.pwned ? '!executed'"
      "      : r.map(s => Buffer.from(String(s), 'utf8').toString('hex')).join(',');"
      "} catch (e) { out = '!' + Buffer.from(String(e)).toString('hex'); }"
      "process.stdout.write(out);";
  std::string out = run_program({"/usr/bin/node", "-e", script, dir.path() + "answer"}, {}).out;
  if (out.starts_with("!")) return {out};
  std::vector<std::string> strings;
  size_t at = 0;
  while (at <= out.size() && !out.empty()) {
    size_t end = std::min(out.find(',', at), out.size());
    std::string bytes;
    for (size_t i = at; i + 1 < end; i += 2) bytes += char(std::stoi(out.substr(i, 2), nullptr, 16));
    strings.push_back(bytes);
    at = end + 1;
  }
  return strings;
}

}  // namespace kiv::testing

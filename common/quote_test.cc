#include "common/quote.h"

#include <gtest/gtest.h>

#include "tests/support/child.h"

namespace kiv {
namespace {

using testing::run_program;

/// Names a torrent or a remote server could hand us, and a name made of
/// every byte value but NUL.
std::vector<std::string> hostile_names() {
  std::vector<std::string> names = {
      "a$(reboot)b", "`id`", "x\\", "\\", "say \"hi\"", "'", "it's", "'\\''",
      "$HOME", "${PATH}", "$((1+1))", "a\nb", "tab\there", "*", "~root", "!x",
      "\"; touch /tmp/kiv-pwned; \"", "'; touch /tmp/kiv-pwned; '", "end\\\"",
      "\xE9t\xE9", "",
  };
  std::string every_byte;
  for (int c = 1; c < 256; ++c) every_byte += char(c);
  names.push_back(every_byte);
  return names;
}

std::string through_shell(const std::string& line) {
  return run_program({"/bin/sh", "-c", line}, {"PATH=/usr/bin:/bin"}).out;
}

TEST(ShellWord, TortureRoundTripsThroughTheShell) {
  for (const std::string& name : hostile_names())
    EXPECT_EQ(through_shell("printf %s " + shell_word(name)), name) << "name: " << name;
  // One word, however many blanks and quotes it holds.
  EXPECT_EQ(through_shell("set -- " + shell_word("a b 'c' \"d\"") + "; echo $#"), "1\n");
}

TEST(ShellWord, SensibleNamesOnlyEnclosed) {
  for (std::string name : {"My Film (1).avi", "dir/sub/file.tar.gz", "a-b_c+d=e,f@g", ""})
    EXPECT_EQ(shell_word(name), "'" + name + "'");
  EXPECT_EQ(shell_word("it's"), "'it'\\''s'");
}

TEST(ShellWord, RefusesNamesOver500Characters) {
  std::string longest(kMaxNameLength, 'n');
  EXPECT_EQ(shell_word(longest), "'" + longest + "'");
  auto result = testing::run_in_child([&] { shell_word(longest + "n"); });
  EXPECT_EQ(result.exit_code(), 0);
  EXPECT_TRUE(result.out.ends_with("\r\n\nFilename too long please shorten it:  " + longest + "n"));
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::vector<std::string> script_names() {
  std::vector<std::string> names = hostile_names();
  for (std::string name : {"\\'+(globalThis.pwned=1)+'", "x\\", "';globalThis.pwned=1;'",
                           "</script><script>globalThis.pwned=1</script>", "line\xE2\x80\xA8sep\xE2\x80\xA9",
                           "\x7F\x01\x1F", "it's \"quoted\""})
    names.push_back(name);
  return names;
}

TEST(ScriptText, TortureEvaluatedByARealEngine) {
  // Each name is evaluated as the quoted literal the front end would see,
  // decoded as UTF-8 like the page; the value must be the name itself.
  testing::TempDir dir;
  std::vector<std::string> names = script_names();
  for (size_t i = 0; i < names.size(); ++i) {
    testing::write_text(dir.path() + std::to_string(i) + ".lit",
                        "'" + escape_script(names[i]) + "'");
    testing::write_text(dir.path() + std::to_string(i) + ".hex", hex(names[i]));
  }
  std::string script =
      "const fs = require('fs'); let bad = [];"
      "for (let i = 0; i < " + std::to_string(names.size()) + "; i++) {"
      "  const value = eval(fs.readFileSync(process.argv[1] + i + '.lit', 'utf8'));"
      "  const name = Buffer.from(fs.readFileSync(process.argv[1] + i + '.hex', 'utf8'), 'hex');"
      "  if (value !== name.toString('utf8')) bad.push(i);"
      "}"
      "process.stdout.write(globalThis.pwned ? 'executed' : bad.length ? 'wrong: ' + bad : 'ok');";
  auto result = run_program({"/usr/bin/node", "-e", script, dir.path()}, {});
  EXPECT_EQ(result.out, "ok") << result.err;
}

TEST(ScriptText, DoubleQuotedText) {
  testing::TempDir dir;
  std::vector<std::string> names = script_names();
  std::string literals;
  for (const std::string& name : names) literals += "\"" + escape_script(name, '"') + "\",\n";
  testing::write_text(dir.path() + "lit", "[" + literals + "]");
  std::string hexes;
  for (const std::string& name : names) hexes += hex(name) + "\n";
  testing::write_text(dir.path() + "hex", hexes);
  std::string script =
      "const fs = require('fs');"
      "const values = eval(fs.readFileSync(process.argv[1] + 'lit', 'utf8'));"
      "const names = fs.readFileSync(process.argv[1] + 'hex', 'utf8').split('\\n');"
      "const bad = values.filter((v, i) => v !== Buffer.from(names[i], 'hex').toString('utf8'));"
      "process.stdout.write(globalThis.pwned ? 'executed' : bad.length ? 'wrong' : 'ok');";
  auto result = run_program({"/usr/bin/node", "-e", script, dir.path()}, {});
  EXPECT_EQ(result.out, "ok") << result.err;
  EXPECT_EQ(escape_script("it's \"x\"", '"'), "it's \\\"x\\\"");
}

TEST(ScriptText, PlainNamesUnchanged) {
  for (std::string name : {"video.avi", "My Film (1).avi", "\xC3\xA9t\xC3\xA9 <b> \"x\""})
    EXPECT_EQ(escape_script(name), name);
  EXPECT_EQ(escape_script("it's"), "it\\'s");
  EXPECT_EQ(escape_script("a\\"), "a\\\\");
  EXPECT_EQ(escape_script("a\nb\x01"), "a\\nb\\x01");
}

TEST(HtmlText, TortureThroughARealParser) {
  std::string unescape =
      "import html, sys\n"
      "data = sys.stdin.buffer.read().decode('latin1')\n"
      "sys.stdout.buffer.write(html.unescape(data).encode('latin1'))\n";
  for (const std::string& name : script_names()) {
    std::string escaped = escape_html(name);
    EXPECT_EQ(escaped.find_first_of("<>\"'"), std::string::npos) << name;
    EXPECT_EQ(run_program({"/usr/bin/python3", "-c", unescape}, {}, escaped).out, name);
  }
  EXPECT_EQ(escape_html("a&b <c> \"d\" 'e'"), "a&amp;b &lt;c&gt; &quot;d&quot; &#39;e&#39;");
  EXPECT_EQ(escape_html("Music/2009"), "Music/2009");
  // A parser turns a raw carriage return into a line feed before anything
  // else: a folder named with one would get another folder's id.
  EXPECT_EQ(escape_html("a\rb\r\nc"), "a&#13;b&#13;\nc");
}

TEST(HtmlText, UnquotedAttributeParsesBackWhole) {
  // The parser must see exactly one attribute whose value is the name.
  std::string parse =
      "import sys\n"
      "from html.parser import HTMLParser\n"
      "class P(HTMLParser):\n"
      "  def handle_starttag(self, tag, attrs):\n"
      "    sys.stdout.buffer.write(repr(attrs).encode('latin1'))\n"
      "data = sys.stdin.buffer.read().decode('latin1')\n"
      "P(convert_charrefs=True).feed(data)\n";
  for (std::string name : {"tree1", "x onmouseover=alert(1)", "a>b", "\"q\" 'r'", "t\tab=`x`"}) {
    auto result = run_program({"/usr/bin/python3", "-c", parse}, {},
                              "<ul id=" + escape_html_unquoted(name) + "></ul>");
    auto expected = run_program(
        {"/usr/bin/python3", "-c",
         "import sys; sys.stdout.buffer.write(repr([('id', sys.argv[1])]).encode('latin1'))", name},
        {});
    EXPECT_EQ(result.out, expected.out) << name;
  }
  EXPECT_EQ(escape_html_unquoted("tree1"), "tree1");
}

}  // namespace
}  // namespace kiv

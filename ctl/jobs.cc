#include "ctl/jobs.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "common/config.h"
#include "common/date.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/file_choice.h"
#include "common/info_hash.h"
#include "common/job_queue.h"
#include "common/job_record.h"
#include "common/aria2_state.h"
#include "common/job_state.h"
#include "common/wget_state.h"
#include "common/process.h"
#include "common/quote.h"
#include "common/request.h"
#include "common/response.h"
#include "common/shell.h"
#include "common/text.h"
#include "common/wget_log.h"
#include "ctl/checks.h"
#include "ctl/magnet.h"
#include "ctl/queue.h"
#include "torrent/inspect.h"
#include "torrent/layout.h"

namespace kiv::ctl {
namespace {

/// A start operation: the job (source, options and, for wget, its folder)
/// and the job log of a restart (none for a new job).
using StartJob = void (*)(const JobRecord& job, const std::optional<std::string>& job_log);

/// A transfer seen running, by its job log name and process number.
struct LiveJob {
  std::string name;
  std::string pid;
};

/// `text` when it is a plain process number (digits, no leading zero).
std::optional<std::string> plain_pid(std::string_view text) {
  if (text.empty() || text.size() > kPidTextLength || text[0] == '0' ||
      text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  return std::string(text);
}

/// The process number a "PROGRAM ... & echo -n $!" start printed, once
/// that process runs PROGRAM: recorded earlier, it would not count as the
/// job's transfer yet.
std::optional<std::string> started_pid(std::string_view output) {
  std::optional<std::string> pid = plain_pid(output);
  if (pid) await_program_start(*pid);
  return pid;
}

/// The keys that set ctorrent's status line.
std::string ctorrent_input(StatusLine line) {
  return line == StatusLine::alternative ? "07" : "06";
}

/// Ends the request unless `name` is a job log's name (is_job_name,
/// is_job_log): without its suffix a name is a record, which a command
/// would take for both log and record.
void check_job_log(std::string_view name) {
  check_path(config().trkdir + std::string(name), PathMessage::lower_case);
  if (!is_job_name(name) || !is_job_log(name)) message_answer("Invalid job name:", name);
}

/// Ends the request when a text headed for one line of the job record holds
/// a line feed: the record would no longer read back as written.
void check_one_line(std::string_view text) {
  if (text.find('\n') != std::string_view::npos)
    message_answer("Line feed not allowed in:", text);
}

void write_record(const std::string& path, const JobRecord& record) {
  if (!write_job_record(path, record)) message_answer("Unable to write trk file:", path);
}

/// Creates the record of a new job, not started yet; its name is the new
/// job id. It is whole from the start: a cut before the transfer starts
/// leaves a job that never ran, never an empty record.
std::string new_record(const JobRecord& job) {
  std::string path = config().trkdir + "XXXXXX";
  UniqueFd fd(mkstemp(path.data()));
  if (!fd.valid()) message_answer("Unable to write trk file:", config().trkdir + "XXXXXX");
  JobRecord fresh{"", job.source, job.options, job.folder};
  fresh.status_line = job.status_line;
  write_record(path, fresh);
  return path;
}

/// The record of a job that has just started (`pid`) or failed to (none):
/// a start wishes the job to run, so it is continued after a power cut.
JobRecord started_record(const std::optional<std::string>& pid, const JobRecord& job,
                         const std::string& folder) {
  return {pid.value_or(""),  job.source, job.options,       folder,
          pid ? JobWish::running : JobWish::unknown, 0, started_slot(job), job.status_line};
}

/// Whether the job's log or record is there: the job exists.
bool job_exists(const std::string& log, const std::string& record) {
  struct stat status;
  return lstat(log.c_str(), &status) == 0 || lstat(record.c_str(), &status) == 0;
}

void signal_pid(const std::string& pid, int signal) { kill(pid_t(std::stol(pid)), signal); }

}  // namespace

/// Sends the transfer behind `name` SIGTERM twice, a second apart; the
/// process number it had, or "" when none ran.
static std::string stop_job(const std::string& name) {
  std::string pid = transfer_pid(name);
  if (pid.empty()) return pid;
  signal_pid(pid, SIGTERM);
  sleep(1);
  // The number may have gone to another program within that second.
  if (transfer_pid(name) == pid) signal_pid(pid, SIGTERM);
  return pid;
}

namespace {

/// Waits until none of `jobs` runs any more, killing outright those that
/// outlast the wait.
void await_end(const std::vector<LiveJob>& jobs) {
  auto any_running = [&] {
    return std::any_of(jobs.begin(), jobs.end(),
                       [](const LiveJob& job) { return transfer_pid(job.name) == job.pid; });
  };
  for (int tenth = 0; tenth < kEndWaitTenths && any_running(); ++tenth) usleep(100000);
  for (const LiveJob& job : jobs)
    if (transfer_pid(job.name) == job.pid) signal_pid(job.pid, SIGKILL);
  for (int tenth = 0; tenth < 10 && any_running(); ++tenth) usleep(100000);
}

/// Stops the transfer behind `name` and waits until it has ended, so that
/// nothing writes the job's files afterwards (ctorrent rewrites its
/// bit-field file on the way out).
void end_job(const std::string& name) {
  std::string pid = stop_job(name);
  if (!pid.empty()) await_end({{name, pid}});
}

std::vector<LiveJob> live_jobs() {
  std::vector<LiveJob> jobs;
  std::optional<std::vector<std::string>> names =
      scan_directory(config().trkdir, ScanOrder::directory);
  if (!names) return jobs;
  for (std::string& name : *names) {
    std::string pid = transfer_pid(name);
    if (!pid.empty()) jobs.push_back({std::move(name), std::move(pid)});
  }
  return jobs;
}

/// The file the wget job logging to `job_log` writes, relative to its
/// folder, when its log names it.
std::optional<std::string> wget_saved_file(const std::string& job_log) {
  UniqueFd fd(open(job_log.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::optional<std::string> line = first_saving_line(fd.get());
  return line ? saved_name(*line) : std::nullopt;
}

/// `options` with `more` after it, one blank between.
std::string with_options(std::string options, const std::string& more) {
  if (!options.empty() && !more.empty()) options += ' ';
  return options + more;
}

/// The info hash of a torrent job's source (a magnet link or the full path
/// of a torrent file), when it can be told.
std::optional<std::string> source_hash(const std::string& source) {
  if (source.starts_with("magnet:")) {
    std::variant<Magnet, std::string> magnet = read_magnet(source);
    if (const Magnet* read = std::get_if<Magnet>(&magnet)) return read->hash;
    return std::nullopt;
  }
  std::optional<std::string> data = read_file(source);
  return data ? torrent_info_hash(*data) : std::nullopt;
}

/// Ends the request when another job's transfer (not `own_log`'s) already
/// runs the torrent of `source` (the same info hash, or the same file when
/// either hash is unknown): two transfers on one torrent would write the
/// same files. Callers hold the job directory's lock (hold_queue_lock): two
/// requests at once must not both pass the check.
void check_torrent_free(const std::string& source, const std::string& shown,
                        const std::optional<std::string>& own_log) {
  std::optional<std::string> hash = source_hash(source);
  std::string own = own_log ? own_log->substr(own_log->rfind('/') + 1) : "";
  for (const LiveJob& job : live_jobs()) {
    if (job.name == own || !job.name.ends_with(".tor")) continue;
    std::optional<std::string> text = read_file(config().trkdir + record_of_log(job.name));
    if (!text) continue;
    std::string other = parse_record(*text).source;
    std::optional<std::string> other_hash = hash ? source_hash(other) : std::nullopt;
    if (other_hash ? other_hash == hash : other == source)
      message_answer("This torrent is already running:", shown);
  }
}

/// Ends the request when `source` is no regular file.
void check_torrent_file(const std::string& source, const std::string& shown) {
  struct stat status;
  if (stat(source.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
    message_answer("Torrent file not found:", shown);
}

constexpr std::string_view kBadFileChoice = "Invalid choice of files (numbers from 1, rising, as 1,3):";

/// A refusal's message and detail, as message_answer takes them.
struct Refusal {
  std::string message, detail;
};

/// Why the torrent of `layout` may not start in the folder the tool saves
/// in (`root`): a file of it would land outside (both tools follow links
/// there, and ctorrent resolves ".." inside a name), or the files `options`
/// choose (for `engine`) are not among its own.
std::optional<Refusal> landing_refusal(const torrent::TorrentLayout& layout,
                                       const std::string& root, const std::string& options,
                                       TorrentEngine engine) {
  for (size_t i = 0; i < layout.files.size(); ++i) {
    std::string path = torrent::landing_path(layout, i);
    if (judge_torrent_path(root, path) != Verdict::inside)
      return Refusal{"This torrent would write outside its folder:", path};
  }
  std::string choice = file_choice(options, engine);
  if (!choice.empty() && !valid_file_choice(choice, layout.files.size()))
    return Refusal{"This torrent has " + std::to_string(layout.files.size()) + " files:", choice};
  return std::nullopt;
}

/// Ends the request when the torrent at `source` may not start in `root`
/// (landing_refusal).
void check_torrent_landing(const std::string& source, const std::string& shown,
                           const std::string& root, const std::string& options) {
  torrent::TorrentLayout layout = torrent::read_layout(torrent::read_torrent(source, shown));
  if (std::optional<Refusal> refusal =
          landing_refusal(layout, root, options, TorrentEngine::ctorrent))
    message_answer(refusal->message, refusal->detail);
}

enum class LogWrite { whole, appended };

/// Writes `text` to the job log `log`: as all of it, or after what it has.
void write_log(const std::string& log, std::string_view text, LogWrite how) {
  int flags = how == LogWrite::whole ? O_TRUNC : O_APPEND;
  UniqueFd fd(open(log.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, 0644));
  if (!fd.valid() || !write_all(fd.get(), text) || !fd.close())
    message_answer("Unable to write trk file:", log);
}

/// The request's choice of files (FORM_files): nothing when absent, ""
/// for every file; ends the request when it is no valid_file_choice.
std::optional<std::string> requested_files() {
  std::optional<std::string> list = form_field("files", kFileChoiceLength, kBadFileChoice);
  if (list && !list->empty() && !valid_file_choice(*list, 0)) message_answer(kBadFileChoice, *list);
  return list;
}

/// The job's folder (a restart's own; records of older versions have none:
/// then the request's) and its path, checked to lie below the download
/// directory and made the working directory, where the tool saves.
std::pair<std::string, std::string> enter_job_folder(const JobRecord& job) {
  std::string folder;
  if (job.folder)
    folder = *job.folder;
  else
    check_one_line(folder = form_field("curdir").value_or(""));
  std::string workdir = config().dnldir + folder;
  check_path(workdir, PathMessage::lower_case);
  check_reach(folder, Reach::through, PathMessage::lower_case, workdir);
  if (chdir(workdir.c_str()) != 0) error_answer(errno, workdir);
  return {folder, workdir};
}

void start_wget(const JobRecord& job, const std::optional<std::string>& job_log) {
  const std::string& url = job.source;
  // wget would take it for one of its options.
  if (url.starts_with('-')) message_answer("Invalid URL: it must not begin with \"-\"", "");
  const Config& c = config();
  auto [folder, workdir] = enter_job_folder(job);

  std::string log = job_log ? *job_log : new_record({"", url, job.options, folder}) + ".wgt";
  if (queued_instead(log, {"", url, job.options, folder})) return;
  std::string options = job.options;
  if (job_log) {
    // A restart continues the job's own file, named as wget logged it (it
    // may have numbered it beside a user's file of the URL's name). Unknown,
    // it starts over, and wget again takes a name no file has: -c on a
    // guessed name would append to a file that is not the job's.
    if (std::optional<std::string> name = wget_saved_file(log)) {
      // -c appends to whatever the name leads to now: only inside.
      check_path(workdir + "/" + *name, PathMessage::lower_case);
      check_reach(folder + "/" + *name, Reach::through, PathMessage::lower_case,
                  workdir + "/" + *name);
      options += " -c -O " + shell_word(*name);
    }
  }
  options = with_options(options, share_options(log, job));
  std::string output = run_shell(wget_command_line(c.wget, options, log, url));
  std::optional<std::string> pid = wget_pid(output);
  write_record(record_of_log(log), started_record(pid, job, folder));
  if (!pid) message_answer("Unable to start wget:", output);
}

void start_ctorrent(const JobRecord& job, const std::optional<std::string>& job_log) {
  const std::string& torrent = job.source;
  const std::string& options = job.options;
  const Config& c = config();
  // A restart reads the full path its record holds.
  if (job_log && !torrent.starts_with(c.dnldir))
    path_refused(PathMessage::capitalised, torrent);
  std::string source = job_log ? torrent : c.dnldir + torrent;
  refuse_long_name(source);
  check_path(source, PathMessage::capitalised);
  check_reach(source.substr(c.dnldir.size()), Reach::through, PathMessage::capitalised, source);
  std::string shown = job_log ? source : torrent;
  check_torrent_file(source, shown);
  check_torrent_landing(source, shown, c.dnldir, options);
  hold_queue_lock();
  check_torrent_free(source, shown, job_log);
  // Its files land in the download directory itself: no folder of its own.
  // What the record keeps besides (slot, status line) goes with every start.
  JobRecord kept = job;
  kept.pid.clear();
  kept.source = source;
  kept.folder = "";
  std::string log = job_log ? *job_log : new_record(kept) + ".tor";

  write_log(log, ctorrent_header(time(nullptr), source), LogWrite::whole);
  if (queued_instead(log, kept)) return;
  std::string record = record_of_log(log);
  std::string job_id = record.substr(record.rfind('/') + 1);

  // ctorrent stores what it fetches relative to its working directory.
  if (chdir(c.dnldir.c_str()) != 0) error_answer(errno, c.dnldir);
  if (!replace_file(kCtorrentInputPath, ctorrent_input(kept.status_line), 0644))
    message_answer("Unable to write file /tmp/kiv-sl", "");
  // The shell opens it by its path: it must still be the file just written,
  // not one that another local user put there.
  std::string why;
  if (!open_trusted(kCtorrentInputPath, why).valid())
    message_answer("Unsafe file /tmp/kiv-sl:", why.empty() ? "cannot be read" : why);

  std::string output =
      run_shell(ctorrent_command_line(c.ctor, job_id,
                                      with_options(options, share_options(log, kept)),
                                      c.trkdir, source, log));
  std::optional<std::string> pid = started_pid(output);
  write_record(record, started_record(pid, kept, ""));
  if (!pid) message_answer("Unable to start ctorrent:", output);
}

/// Where aria2c saves the torrent of `hash` it fetched for a magnet job,
/// until the job's next start takes it as its own (record + ".torrent").
std::string fetched_torrent(std::string_view hash) {
  return config().trkdir + std::string(hash) + ".torrent";
}

void start_magnet(const JobRecord& job, const std::optional<std::string>& job_log) {
  Magnet magnet = check_magnet(job.source);
  check_aria2_limits(job.options);
  TorrentSettings settings = torrent_settings();
  std::string program = aria2_program();
  if (program_path(program).empty())
    message_answer("Magnet links need aria2c: install the package aria2, or name the program "
                   "with aria2= in kiv.conf.",
                   "");
  auto [folder, workdir] = enter_job_folder(job);
  if (!workdir.ends_with('/')) workdir += '/';

  hold_queue_lock();
  check_torrent_free(job.source, magnet.name.empty() ? magnet.hash : magnet.name, job_log);
  std::string log =
      job_log ? *job_log : new_record({"", job.source, job.options, folder}) + ".tor";
  // A queued restart keeps the log: its start later must still see it.
  if (!job_log) write_log(log, magnet_header(time(nullptr), magnet.hash), LogWrite::whole);
  if (queued_instead(log, {"", job.source, job.options, folder})) return;
  std::string record = record_of_log(log);
  // A finished job's control file is gone with its end: restarted (to seed),
  // aria2c checks the job's own files instead of refusing them.
  std::string options = job.options;
  if (job_log) {
    LogEnds ends = read_log_ends(log);
    if (aria2_state({job, false, ends.head, ends.tail}).phase == JobPhase::finished)
      options = with_options("--check-integrity=true", options);
  }

  // Taken first, so that whatever becomes of this start it is not due again.
  std::string torrent = record + ".torrent";
  if (rename(fetched_torrent(magnet.hash).c_str(), torrent.c_str()) != 0 && errno != ENOENT)
    error_answer(errno, torrent);
  std::string header = magnet_header(time(nullptr), magnet.hash);
  std::string source = job.source;
  if (exists(torrent)) {
    torrent::TorrentLayout layout = torrent::read_layout(torrent::read_torrent(torrent, torrent));
    if (std::optional<Refusal> refusal =
            landing_refusal(layout, workdir, options, TorrentEngine::aria2c)) {
      // Nothing of it stays; the log says why, for a start kivd made.
      unlink(torrent.c_str());
      write_log(log, refused_line(refusal->message + " " + refusal->detail), LogWrite::appended);
      message_answer(refusal->message, refusal->detail);
    }
    header = magnet_header(time(nullptr), magnet.hash, layout.name);
    source = torrent;
  } else {
    // The torrent alone, into the job directory: no files to choose yet.
    options = with_file_choice(options, "", TorrentEngine::aria2c);
    workdir = config().trkdir;
  }
  write_log(log, header, LogWrite::whole);
  std::string output = run_shell(aria2_command_line(
      {program, settings, workdir, record + ".dht", with_options(options, share_options(log, job)),
       source, log}));
  std::optional<std::string> pid = started_pid(output);
  write_record(record, started_record(pid, job, folder));
  if (!pid) message_answer("Unable to start aria2c:", output);
}

/// A torrent job's start by its engine: aria2c for a magnet link.
void start_torrent(const JobRecord& job, const std::optional<std::string>& job_log) {
  if (engine_of(job.source) == TorrentEngine::aria2c)
    start_magnet(job, job_log);
  else
    start_ctorrent(job, job_log);
}

/// One kind of job: the suffix of its log, its start, and the reader of its
/// state. Every kind is restarted, and resumed after a power cut, through
/// its row here.
struct JobKind {
  std::string_view suffix;
  StartJob start;
  StateReader state;
  /// For kinds that seed after their download: whether a finished job's
  /// seeding had ended by its own limit, given how long its run lasted.
  bool (*seeding_over)(const JobView& job, long long seconds_run);
};

constexpr JobKind kJobKinds[] = {
    {".wgt", start_wget, wget_state, nullptr},
    {".tor", start_torrent, torrent_job_state, torrent_seeding_over},
};

const JobKind* kind_of(std::string_view name) {
  for (const JobKind& kind : kJobKinds)
    if (name.ends_with(kind.suffix)) return &kind;
  return nullptr;
}

/// `choice`, when given, replaces the torrent job's choice of files.
void restart_job(const std::string& name, StartJob start,
                 const std::optional<std::string>& choice = std::nullopt) {
  check_job_log(name);
  // A job is restarted only by its own kind's start: wget never writes a
  // torrent job's log.
  if (kind_of(name)->start != start) message_answer("Invalid job name:", name);
  const std::string& trkdir = config().trkdir;
  std::string record_path = trkdir + record_of_log(name);
  std::optional<std::string> text = read_file(record_path);
  // Read back cut, a line would name another source: never started so.
  std::optional<JobRecord> record = text ? read_record(*text) : std::nullopt;
  if (!record) message_answer("Unable to read trk file:", record_path);
  // Written by the start with the rest of the record.
  if (choice)
    record->options = with_file_choice(record->options, *choice, engine_of(record->source));
  // Two transfers must never share one job's files: under the lock, so
  // that no other start of this job comes between the end and this start.
  hold_queue_lock();
  end_job(name);
  start(*record, trkdir + name);
}

/// How long the job's last run lasted: from its start, when its record was
/// written, to its log's last line.
long long seconds_run(const std::string& record_path, const std::string& log_path) {
  struct stat record, log;
  if (stat(record_path.c_str(), &record) != 0 || stat(log_path.c_str(), &log) != 0) return 0;
  return std::max<long long>(0, log.st_mtime - record.st_mtime);
}

}  // namespace

bool wants_resume(const std::string& name) {
  const JobKind* kind = kind_of(name);
  if (!kind) return false;
  const std::string& trkdir = config().trkdir;
  std::optional<std::string> text = read_file(trkdir + record_of_log(name));
  std::optional<JobRecord> record = text ? read_record(*text) : std::nullopt;
  if (!record || record->wish != JobWish::running || record->pid.empty()) return false;
  // A transfer that survived (kivd alone was ended) goes on by itself.
  if (!transfer_pid(name).empty()) return false;
  // Neither finished nor failed: cut off in the middle of its work.
  if (!exists(trkdir + name)) return false;
  LogEnds log = read_log_ends(trkdir + name);
  JobView job{*record, false, log.head, log.tail};
  JobPhase phase = kind->state(job).phase;
  // Seeding is what the user started too: cut off while seeding, a torrent
  // reads as finished, and goes on unless its own limit had ended it.
  return phase == JobPhase::stopped ||
         (phase == JobPhase::finished && kind->seeding_over &&
          !kind->seeding_over(job, seconds_run(trkdir + record_of_log(name), trkdir + name)));
}

bool awaits_files_run(const QueueEntry& entry) {
  if (!entry.pid.empty() || entry.record.wish != JobWish::running || !entry.torrent()) return false;
  std::variant<Magnet, std::string> magnet = read_magnet(entry.record.source);
  const Magnet* read = std::get_if<Magnet>(&magnet);
  if (!read || !exists(fetched_torrent(read->hash))) return false;
  LogEnds log = read_log_ends(config().trkdir + entry.log);
  return aria2_torrent_fetched({entry.record, false, log.head, log.tail});
}

void restart_of_kind(const std::string& name) {
  const JobKind* kind = kind_of(name);
  if (!kind) message_answer("Invalid job name:", name);
  restart_job(name, kind->start);
}

std::optional<std::string> wget_pid(std::string_view output) {
  size_t blank = output.rfind(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::string word(output.substr(blank + 1));
  if (!cut_at_last(word, '.')) return std::nullopt;
  return plain_pid(word);
}

/// The speed limit of request field `field` in KiB/s: nothing when the
/// field is absent, empty or "0"; ends the request unless it is digits only
/// and at most kRateLimitMax.
static std::optional<unsigned long> rate_limit(const char* field) {
  std::string text = form_field(field).value_or("");
  if (text.empty()) return std::nullopt;
  // Digits only: the value goes into a shell line.
  bool digits = text.size() <= 7 && text.find_first_not_of("0123456789") == std::string::npos;
  unsigned long rate = digits ? std::stoul(text) : 0;
  if (!digits || rate > kRateLimitMax)
    message_answer("Invalid speed limit (KiB/s, 0 to " + std::to_string(kRateLimitMax) + "):",
                   text);
  if (rate == 0) return std::nullopt;
  return rate;
}

std::string wget_command_line(std::string_view program, std::string_view options,
                              std::string_view job_log, std::string_view url) {
  return std::string(program) + " -b --progress=bar:force " + std::string(options) + " -a " +
         shell_word(job_log) + " " + shell_word(url);
}

std::string ctorrent_command_line(std::string_view program, std::string_view job_id,
                                  std::string_view options, std::string_view trkdir,
                                  std::string_view source, std::string_view job_log) {
  std::string log = shell_word(job_log);
  return std::string(program) + " -P " + std::string(job_id) + " " + std::string(options) +
         " -b " + shell_word(std::string(trkdir) + std::string(job_id) + ".bf") + " " +
         shell_word(source) + " < " + kCtorrentInputPath + " >> " + log + " 2>> " + log +
         " & echo -n $!";
}

std::string ctorrent_header(time_t when, std::string_view source) {
  return "-- " + local_date(when) + " --" + std::string(source.substr(source.rfind('/') + 1)) +
         "\n";
}

void nukeall_command(const std::string&, const std::string&) {
  // Held to the end: the queue starts nothing while its jobs go.
  hold_queue_lock();
  // The box's own transfers only, by their records: a user's own wget or
  // another service's ctorrent is none of its business.
  std::vector<LiveJob> jobs = live_jobs();
  for (const LiveJob& job : jobs) signal_pid(job.pid, SIGTERM);
  await_end(jobs);

  const std::string& trkdir = config().trkdir;
  if (chdir(trkdir.c_str()) != 0) message_answer("nukeall error: ", trkdir);
  std::optional<std::vector<std::string>> names = scan_directory(trkdir, ScanOrder::directory);
  if (!names) message_answer("nukeall error: ", trkdir);
  for (const std::string& name : *names)
    if (name != kQueueSettingsName) unlink((trkdir + name).c_str());
}

void del_command(const std::string& file, const std::string&) {
  check_job_log(file);
  std::string log = config().trkdir + file;
  std::string record = config().trkdir + record_of_log(file);
  if (!job_exists(log, record)) message_answer("Job not found:", file);
  // Under the lock: a restart or a resume between the end and the removal
  // would leave a transfer running without its record.
  hold_queue_lock();
  end_job(file);
  for (const std::string& path : {log, record, record + ".bf", record + ".dht", record + ".torrent"})
    if (unlink(path.c_str()) != 0 && errno != ENOENT) error_answer(errno, path);
}

void stop_command(const std::string& file, const std::string&) {
  check_job_log(file);
  std::string record_path = config().trkdir + record_of_log(file);
  if (!job_exists(config().trkdir + file, record_path)) message_answer("Job not found:", file);
  // Recorded before the signal: a power cut right after it must not bring
  // the job back. Older records carry no wish, and get none.
  // A queued job leaves the queue.
  hold_queue_lock();
  std::optional<std::string> text = read_file(record_path);
  std::optional<JobRecord> record = text ? read_record(*text) : std::nullopt;
  bool queued = record && record->wish == JobWish::queued;
  if (record && (record->wish == JobWish::running || queued)) {
    record->wish = JobWish::stopped;
    write_record(record_path, *record);
  }
  if (stop_job(file).empty() && !queued) message_answer("Job not running:", file);
}

void startdnl_command(const std::string& file, const std::string&) {
  restart_job(file, start_wget);
}

void starttor_command(const std::string& file, const std::string&) {
  restart_job(file, start_torrent, requested_files());
}

/// "ctor" with torrent_engine=aria2c: the torrent file becomes a magnet job
/// of its info hash that has its torrent already, so aria2c (DHT, peer
/// exchange, encryption) fetches its files at once, into the download
/// directory as ctorrent would.
void aria2_torrent_command(const std::string& file, const std::string& para) {
  if (!para.empty()) message_answer("With torrent_engine=aria2c a torrent takes no further options:", para);
  const Config& c = config();
  std::string source = c.dnldir + file;
  refuse_long_name(source);
  check_path(source, PathMessage::capitalised);
  check_reach(file, Reach::through, PathMessage::capitalised, source);
  check_torrent_file(source, file);
  std::string data = torrent::read_torrent(source, file);
  std::optional<std::string> hash = torrent_info_hash(data);
  if (!hash) message_answer("Malformed torrent data:", file);
  std::string uri = "magnet:?xt=urn:btih:" + *hash;
  check_torrent_free(uri, file, std::nullopt);
  std::string options =
      aria2_limits(rate_limit("down").value_or(0), rate_limit("up").value_or(0));
  if (std::optional<std::string> choice = requested_files())
    options = with_file_choice(options, *choice, TorrentEngine::aria2c);
  // Where a magnet job's fetch leaves it: the start takes it as the job's own.
  if (!replace_file(fetched_torrent(*hash), data, 0644)) error_answer(errno, fetched_torrent(*hash));
  start_magnet({"", uri, options, std::string()}, std::nullopt);
}

void ctor_command(const std::string& file, const std::string& para) {
  check_one_line(file);
  check_one_line(para);
  const std::string& engine = config().torrent_engine;
  if (engine == "aria2c") return aria2_torrent_command(file, para);
  if (!engine.empty() && engine != "ctorrent")
    message_answer("Invalid torrent_engine in kiv.conf (ctorrent or aria2c):", engine);
  // Kept with the options in the record, so a restart keeps the limits.
  std::string limits;
  if (std::optional<unsigned long> down = rate_limit("down"))
    limits = "-D " + std::to_string(*down);
  if (std::optional<unsigned long> up = rate_limit("up"))
    limits = with_options(limits, "-U " + std::to_string(*up));
  std::string options = with_options(para, limits);
  if (std::optional<std::string> choice = requested_files())
    options = with_file_choice(options, *choice, TorrentEngine::ctorrent);
  JobRecord job{"", file, options, std::nullopt};
  // Chosen at the start and kept in the record: restarts and resumes
  // after a power cut show the same line.
  if (form_field("asl").value_or("").starts_with('1')) job.status_line = StatusLine::alternative;
  start_ctorrent(job, std::nullopt);
}

void magnet_command(const std::string& file, const std::string& para) {
  // Only the limits: aria2c's options are the box's own.
  if (!para.empty()) message_answer("A magnet link takes no further options:", para);
  check_magnet(file);
  std::string options =
      aria2_limits(rate_limit("down").value_or(0), rate_limit("up").value_or(0));
  if (std::optional<std::string> choice = requested_files())
    options = with_file_choice(options, *choice, TorrentEngine::aria2c);
  start_magnet({"", file, options, std::nullopt}, std::nullopt);
}

void wget_command(const std::string& file, const std::string& para) {
  check_one_line(file);
  check_one_line(para);
  std::string limit;
  if (std::optional<unsigned long> down = rate_limit("down"))
    limit = "--limit-rate=" + std::to_string(*down) + "k";
  if (rate_limit("up")) message_answer("wget has no upload to limit:", "up");
  start_wget({"", file, with_options(para, limit), std::nullopt}, std::nullopt);
}

}  // namespace kiv::ctl

#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Transfer jobs: wget and ctorrent in the background, their files in trk/.
namespace kiv::ctl {

/// The shared standard input of every ctorrent start.
inline constexpr const char* kCtorrentInputPath = "/tmp/kiv-sl";
/// Lines 2 and 3 of a job record are read up to this length.
inline constexpr size_t kRecordLineLength = 999;
/// How long "del", "nukeall" and a restart wait for a stopped transfer to
/// end before it is killed outright.
inline constexpr int kEndWaitTenths = 100;

/// The highest speed limit a start takes, in KiB/s (about 1 GiB/s).
inline constexpr unsigned long kRateLimitMax = 1048576;

/// The lines of a job record.
struct JobRecord {
  std::string pid;      // empty when the transfer never started
  std::string source;   // the URL, or the full torrent path
  std::string options;  // the options exactly as received
  /// wget jobs: the folder below the download directory the file lands in
  /// (the FORM_curdir of the first start); absent in records of older
  /// versions and of ctorrent jobs.
  std::optional<std::string> folder;
};

/// Reads a record back: line 1 up to kPidTextLength, lines 2 to 4 up to
/// kRecordLineLength characters, line ends removed, missing lines empty
/// (a missing fourth line: no folder).
JobRecord parse_record(std::string_view text);

/// The process number in wget's "... pid N." answer: the text after the
/// last blank, cut at its last "."; nothing when that is not a number
/// (wget failed before it went to the background).
std::optional<std::string> wget_pid(std::string_view output);

/// The wget start line. Ends the request when a quoted name is too long.
std::string wget_command_line(std::string_view program, std::string_view options,
                              std::string_view job_log, std::string_view url);

/// The ctorrent start line; it prints the background process number.
/// Ends the request when the torrent path is too long.
std::string ctorrent_command_line(std::string_view program, std::string_view job_id,
                                  std::string_view options, std::string_view trkdir,
                                  std::string_view source, std::string_view job_log);

/// The speed limit of request field `field` in KiB/s: nothing when the
/// field is absent, empty or "0"; ends the request unless it is digits only
/// and at most kRateLimitMax.
std::optional<unsigned long> rate_limit(const char* field);

/// The first line of a ctorrent job log, line feed included.
std::string ctorrent_header(time_t when, std::string_view source);

/// The handlers of the command table. Each returns when it succeeded and
/// ends the request with a message answer otherwise.
/// "nukeall": stops every transfer and empties the job directory.
void nukeall_command(const std::string& file, const std::string& para);
/// "del": stops the job named by its log and removes its files.
void del_command(const std::string& file, const std::string& para);
/// "stop": stops the job's transfer; its files stay.
void stop_command(const std::string& file, const std::string& para);
/// "startdnl"/"starttor": starts the job again from its record, after
/// its transfer, if it still runs, has ended. A wget job continues the file
/// its log names as its own, or else starts over under a name no file has.
void startdnl_command(const std::string& file, const std::string& para);
void starttor_command(const std::string& file, const std::string& para);
/// "ctor"/"wget": start a new job for a torrent of the download directory
/// or for a URL, with the options in `para`.
void ctor_command(const std::string& file, const std::string& para);
void wget_command(const std::string& file, const std::string& para);

}  // namespace kiv::ctl

#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "common/job_queue.h"
#include "common/job_record.h"
#include "common/queue_settings.h"

// Transfer jobs: wget, ctorrent and aria2c in the background, their files in
// trk/.
namespace kiv::ctl {

/// The shared standard input of every ctorrent start.
inline constexpr const char* kCtorrentInputPath = "/tmp/kiv-sl";
/// How long "del", "nukeall" and a restart wait for a stopped transfer to
/// end before it is killed outright.
inline constexpr int kEndWaitTenths = 100;

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
/// A torrent's restart with FORM_files takes that choice of files
/// instead of its own ("" for every file), keeping what is in.
void startdnl_command(const std::string& file, const std::string& para);
void starttor_command(const std::string& file, const std::string& para);
/// Whether the job whose log is `name` is to be continued when the box
/// starts: its record is whole and wishes it running (the user did not stop
/// it), no transfer of it runs, and its log does not show that the transfer
/// ended by itself (finished, or failed).
bool wants_resume(const std::string& name);
/// Whether `entry` is a magnet job whose first run has fetched its torrent
/// and that still wishes to run: its start is due, to fetch the files.
bool awaits_files_run(const QueueEntry& entry);
/// Restarts the job whose log is `name` by the start of its kind (the
/// log's suffix), as the user's restart does. Ends the request with a
/// message answer when it fails, as the handlers do.
void restart_of_kind(const std::string& name);
/// "ctor"/"wget": start a new job for a torrent of the download directory
/// or for a URL, with the options in `para`; a torrent fetches the files
/// FORM_files numbers ("1,3"; all without it).
void ctor_command(const std::string& file, const std::string& para);
void wget_command(const std::string& file, const std::string& para);
/// "magnet": starts a new job for a magnet link with aria2c, in the folder
/// FORM_curdir, with the speed limits of FORM_down and FORM_up and the
/// choice of files of FORM_files.
void magnet_command(const std::string& file, const std::string& para);

}  // namespace kiv::ctl

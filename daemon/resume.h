#pragma once

#include <string>
#include <vector>

// The start-up step of kivd: after a power cut, a crash or a reboot, the
// transfers that were running continue and what interrupted requests left
// is swept away.
namespace kiv {

/// The job logs whose jobs were running when the box went down
/// (ctl::wants_resume), in the job directory's order.
std::vector<std::string> interrupted_jobs();

/// Restarts the job whose log is `name` through the restart of its kind, in
/// a process of its own; a failure is logged with its message. Whether the
/// transfer runs again.
bool resume_job(const std::string& name);

/// The whole step, once per start: resumes the interrupted jobs, leaves the
/// notice of how many (common/resumed.h), then removes the temporaries of
/// interrupted uploads, copies and packs from the download directory.
void resume_at_start();

}  // namespace kiv

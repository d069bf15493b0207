#pragma once

#include <string>

namespace kiv::list {

/// Appends the list member for the job files whose names contain `pattern`
/// (".nfo", ".amu", ".tor", ".wgt"), each with the process number of its
/// running transfer and, when known, the time it was added; returns how
/// many run.
int print_job_list(const std::string& pattern);

/// Appends the queue's member of the status: its settings and the mode of
/// the hour now, `queue:{max_active:N,...,week:"...",hour:"f"},`.
void print_queue_member();

/// Appends the job members of the full status: the eDonkey refresh when
/// asked for, the four lists and the running counts.
void print_job_members();

}  // namespace kiv::list

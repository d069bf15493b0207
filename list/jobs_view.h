#pragma once

#include <string>

namespace kiv::list {

/// Appends the queue's member of the status: its settings and the mode of
/// the hour now, `queue:{max_active:N,...,week:"...",hour:"f"},`.
void print_queue_member();

/// Appends the job members of the full status: the eDonkey refresh when
/// asked for, the four lists and the running counts.
void print_job_members();

}  // namespace kiv::list

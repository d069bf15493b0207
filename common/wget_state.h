#pragma once

#include "common/job_state.h"

namespace kiv {

/// The state of a wget job. Its name is the last piece of the URL's path,
/// decoded, without query or fragment (the saved file's name when the path
/// names none). The size is the last "Length:" wget logged, the bytes done
/// and the speed those of the last progress redraw, or of the "saved [N/M]"
/// line that ends a finished run. A job that no longer runs has failed
/// when the last thing its log tells is an error, and is stopped when it
/// ended neither saved nor failed.
JobState wget_state(const JobView& job);

}  // namespace kiv

#pragma once

#include <string>
#include <string_view>

#include "common/file.h"

// Files made under a temporary name beside their final one, given that name
// only once whole: "." + NAME + "." + KIND + "-" + six letters or digits.
namespace kiv {

enum class TemporaryKind { upload, copy, pack };

/// What a temporary is: a file, or a folder that programs fill.
enum class TemporaryForm { file, folder };

/// A temporary file left untouched this long belongs to a request that was
/// ended outright (power loss, its keeper killed too); the next request that
/// makes one in its folder removes it.
inline constexpr long kStaleTemporarySeconds = 24 * 60 * 60;

/// The mkstemp template of the temporary name for the final name `name` (a
/// bare entry name). `name` is shortened in it, so that it fits wherever the
/// final name fits.
std::string temporary_template(std::string_view name, TemporaryKind kind);

/// Whether `name` has the form of a temporary name of any kind. No request
/// gives a file such a name: the sweep below would take it for a leftover.
bool is_temporary_name(std::string_view name);

/// Removes from `directory` the plain files and folders with temporary
/// names that were left untouched for kStaleTemporarySeconds and that no
/// request holds.
void remove_stale_temporaries(const std::string& directory);

/// Removes below `root` (its whole tree, symbolic links not followed) the
/// plain files and folders with temporary names that no request holds:
/// what requests ended by a power cut left. Run when the box starts.
void remove_leftover_temporaries(const std::string& root);

/// Marks the temporary file or folder open as `fd` as held for as long as
/// the open file lives (in this process or a keeper): the sweeps leave it
/// alone.
void hold_temporary(int fd);

/// A new empty file (mode 0666 less the umask) or folder (0777 less the
/// umask) under a temporary name beside `path`, for what programs of this
/// request make. It is removed, a folder with all it holds, however the
/// process ends
/// (an answer, a signal, SIGKILL) unless it was given its final name: a
/// keeper process removes it once this process and every program it started
/// meanwhile have ended, so no program can write it after it is gone.
class Temporary {
 public:
  Temporary(const std::string& path, TemporaryKind kind,
            TemporaryForm form = TemporaryForm::file);
  /// What keep_as does with an entry already at the final name.
  enum class Existing { replace, keep };
  ~Temporary() { discard(); }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  /// False (errno set) when the file could not be made.
  bool valid() const { return fd_.valid(); }
  /// The file, or the folder opened for reading.
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

  /// Flushes the file to the disk and renames it to `path` (so that after a
  /// power cut `path` is whole or absent), replacing what is there only with
  /// Existing::replace. False with errno (EEXIST when not replaced) on
  /// failure; the file is then still temporary.
  bool keep_as(const std::string& path, Existing existing);
  /// Removes the file now.
  void discard();

 private:
  std::string path_;
  TemporaryForm form_;
  UniqueFd fd_;
  UniqueFd lifeline_;  // the keeper removes the file when all holders end
  bool done_ = true;  // nothing (more) to remove
};

}  // namespace kiv

#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace base {

//! The path of an existing file: `path` itself, or else the entry of its folder whose name equals the last part of
//! `path` without regard to case (installations copied from Windows spell names freely). Nothing when there is none.
[[nodiscard]] std::optional<std::string> findFileNoCase(const std::string& path);

//! Whole content of a file; nothing when it cannot be read (see readRegularFile).
[[nodiscard]] std::optional<std::string> readWholeFile(const std::string& path);
/**
 * Whole content of a regular file. The file is opened without waiting, so that a FIFO or a device in its place never
 * blocks the program, and whatever is not a regular file is refused. Nothing, with the German reason in `reason`
 * (as fileErrorReason gives it, "An ihrer Stelle steht keine gewöhnliche Datei …"), when it cannot be read.
 */
[[nodiscard]] std::optional<std::string> readRegularFile(const std::string& path, std::string& reason);

//! The folder part of a path including its final "/", or "" when the path has none.
std::string folderOf(const std::string& path);

//! The current working directory, absolute, ending with "/".
std::string currentDirectory();

//! How writeFileDurably writes a file.
struct FileWriteOptions
{
    //! The permissions the file ends with (0600 for a file holding a secret). The temporary file is created
    //! readable and writable by its owner only and gets them when it is written, whatever the umask.
    mode_t mode = 0644;
    //! The content and the new name are on the disk before the call returns (fsync of the file and of its folder).
    //! A file that need not survive a crash of the machine (an image in the temporary folder) skips it.
    bool durable = true;
    //! The file appears only where none is: an existing file is kept and the write fails with EEXIST.
    bool keepExisting = false;
    //! The temporary file's full name; "" for ".<name>.XXXXXX.tmp" beside the file. A fixed name is for a writer that
    //! holds a lock on the file and removes what an interrupted write left under it.
    std::string temporary;
    //! Owner and group the file is handed back to (only root can; for others the file is theirs); -1 for none.
    uid_t owner = static_cast<uid_t>(-1);
    gid_t group = static_cast<gid_t>(-1);
};

//! What writeFileDurably did: the errno of a failure (0 when the file was written) and the German message for it.
struct FileWriteResult
{
    int error = 0;
    std::string message;

    explicit operator bool() const { return error == 0; }
};

/**
 * Writes a whole file so that it is either the old or the new one, never half of it: the bytes go to a temporary file
 * in the same folder, which is flushed, given its permissions and renamed over `path` (or linked, see keepExisting).
 * A failed write removes the temporary file, so no copy of a secret stays behind, and says why in German ("Die Datei
 * … konnte nicht gespeichert werden: Auf dem Datenträger ist kein Platz mehr frei."). A write past the process's
 * file-size limit is such a failure (EFBIG), not the end of the program: see ignoreFileSizeSignal. A symbolic link in
 * the file's place is replaced, not followed.
 */
[[nodiscard]] FileWriteResult
writeFileDurably(const std::string& path, std::string_view bytes, const FileWriteOptions& options = {});

//! The German sentence for a failed file operation's errno ("Auf dem Datenträger ist kein Platz mehr frei.");
//! `reading` for a file that was to be read.
[[nodiscard]] std::string fileErrorReason(int error, bool reading = false);

//! Lets a write past the process's file-size limit (RLIMIT_FSIZE) fail with EFBIG, to be reported like a full disk,
//! instead of SIGXFSZ ending the program without a word. Keeps a handler someone installed; safe to call often.
void ignoreFileSizeSignal();

} // namespace base

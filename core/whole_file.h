// Files written whole or not at all, so that a failed or interrupted run keeps the earlier file.
#ifndef CORE_WHOLE_FILE_H
#define CORE_WHOLE_FILE_H

#include <cstdio>
#include <string>

// A file that is written whole or not at all. The text goes to a new file beside the target
// ("NAME.partial-XXXXXX" in its directory), which replaces the target by rename once it is written,
// synced and closed; on any failure, and on a terminating signal, the new file is removed and the
// earlier file stays. A symbolic link under the name is kept and the file it leads to is replaced.
// A device (such as /dev/null) or a FIFO with a reader under the name is written in place, as there
// is nothing there to keep; a FIFO without a reader, a directory or any other file that is not a
// regular one is refused and left alone. The new file gets the mode, owner and group of the file it
// replaces, or 0666 less the umask, as "w" would have given. Where the new file may not be made
// (a folder the user cannot write to) but the file under the name can be opened for writing, it
// is written in place, emptied first as "w" does: only the whole-file guarantee is given up.
struct whole_file {
    std::FILE* f;        // where to write; null when the file could not be begun
    std::string name;    // as given, for the messages
    std::string target;  // the file that is replaced
    std::string part;    // the new file
};

// Null f, after one line on standard error, when neither the new file can be made nor the file
// written in place.
whole_file begin_whole_file(char const* name);

// `written`: every write succeeded. Closes the new file and puts it in place; false, after one
// line on standard error, when anything failed (the earlier file is then unchanged).
bool finish_whole_file(whole_file& w, bool written);

#endif

// What the sources of output/ share: the table of temporaries and the thin layer over the system.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>

// ---- The four temporaries ----------------------------------------------------------------
//
// Each output slot (0 report, 1 disp, 2 velox, 3 accel) has one temporary. Its state only moves
// forward, and every change of state or of `hidden` happens while the ending signals are held
// (sys_hold_signals), so the signal path always reads a consistent pair:
//
//   temp_none      no file yet (or the run never got this far).
//   temp_created   a new, empty file exists, mode 0600. Unnamed (O_TMPFILE): `hidden` is empty
//                  and the file vanishes with the process. Named: `hidden` is its random hidden
//                  name, held under a lock on its own descriptor so that the stale sweep of
//                  another run never mistakes it for a killed run's leftover.
//   temp_complete  every byte written and the stream closed without error; `fd` still open.
//   temp_named     an unnamed file has been linked under `hidden` (under the folder lock).
//   temp_placed    handed to the swap: renamed into its output name, `hidden` now holding the
//                  earlier file (after an exchange) or nothing; or, after a swap that could not
//                  be taken back, left under `hidden` for the next run to complete the set. The
//                  signal path must not remove it (and never runs during the swap, which holds
//                  the signals throughout).
//   temp_removed   gone: put in place for good, or removed.
//
// The signal path removes `hidden` in the states created, complete and named, and only then.
enum TempState : int { temp_none, temp_created, temp_complete, temp_named, temp_placed, temp_removed };

constexpr int hidden_max = 64;  // ".accel.out.<16 hex>.tmp" and the like, with room to spare

struct Temporary {
    volatile std::sig_atomic_t state;
    char hidden[hidden_max];
    int fd;  // kept beside the stream (POSIX): names an unnamed file, sets its bits, holds its lock
};
extern Temporary temps[4];
extern const char *const output_names[4];

// Creates slot's temporary and its stream in rec.pFile[slot]: 0 or errno.
int create_temporary(int slot);
// Removes slot's temporary, if it has a name, and marks it removed.
void remove_temporary(int slot);
// Gives a complete unnamed temporary its hidden name: 0 or errno.
int name_temporary(int slot);
// A fresh random hidden name beside `name` in `out`.
void hidden_name(char (&out)[hidden_max], const char *name);
// True when `entry` has the shape of a hidden temporary of one of the four output files.
bool is_hidden_temporary(const char *entry);


// ---- The system ----------------------------------------------------------------------------
// Every difference between POSIX and Windows lives in output/system.cpp, behind these calls.
// Those that return int give 0 on success, else errno, or `unsupported` where the system or the
// file system has no such operation (so the caller takes the next way).
constexpr int unsupported = -1;
constexpr int busy = -2;

// A new file with no name in the folder (Linux O_TMPFILE, named later through /proc), mode
// 0600: the descriptor, or -1 with errno (EOPNOTSUPP where the system or file system cannot).
int sys_create_unnamed();
// A new file under `name`, created exclusively, never through a link, mode 0600: fd or -1, errno.
int sys_create_new(const char *name);
// Takes an exclusive lock on the temporary's own descriptor (POSIX flock); nothing on Windows,
// where an open file cannot be deleted anyway.
void sys_hold_temporary(int fd);
// A stream writing to `fd`, or nullptr with errno. `fd` stays open beside it where a file may be
// renamed while open (POSIX: the stream owns a duplicate), else the stream takes `fd` itself and
// it becomes -1 (Windows). Text mode on Windows, so that lines end in CR LF.
std::FILE *sys_open_stream(int &fd);
void sys_close(int fd);
// Links the unnamed file `fd` under `name`.
int sys_name_unnamed(int fd, const char *name);
// Swaps two existing names in one step (Linux renameat2 RENAME_EXCHANGE).
int sys_exchange(const char *a, const char *b);
// Moves `name` to the free name `aside`, keeping it whole: a rename that refuses to replace, or
// a hard link (the earlier name then stays in place), or a plain rename after checking that
// `aside` is free (FAT, SMB, Windows). Sets `linked` when the earlier name is still there.
int sys_move_aside(const char *name, const char *aside, bool &linked);
// Renames `from` over `to`, replacing it if it exists.
int sys_replace(const char *from, const char *to);
// Removes a file's name; async-signal-safe on POSIX (unlink).
int sys_remove(const char *name);
// Creates `name` exclusively (never through a link), mode 0600, holding `text`.
int sys_write_new(const char *name, const char *text);

enum FileKind { kind_none, kind_file, kind_folder, kind_other };
// What is at `name`, judged by its type without opening it (a FIFO stays unopened); a link
// counts as other unless `follow`, which judges what it points to. `id` gets the file's
// identity (0 where the system has none).
FileKind sys_kind(const char *name, std::uint64_t *id = nullptr, bool follow = false);
std::uint64_t sys_fd_identity(int fd);
// 0 if this process may write the existing file `name`, else errno.
int sys_may_write(const char *name);
// True when the current folder has been removed while the run is in it.
bool sys_folder_deleted();
// True when the hidden temporary `name` belongs to no live run: nobody holds its lock.
bool sys_is_stale(const char *name);

// Gives the complete temporary `fd` what the earlier file `name` had: its permission bits
// (never setuid or setgid), and where the process may, its owner, group, ACL and extended
// attributes. Without an earlier file: 0666 less the umask. Failures to copy are not errors:
// the README says what a file system or an unprivileged run cannot keep.
void sys_give_attributes(int fd, const char *earlier);

// The folder lock. One attempt: 0 with `fd` holding the lock, `busy` while another run holds
// it, else errno; `fd` starts at -1. POSIX locks the folder itself, or where it cannot be opened for
// reading (a write-only folder) the file ".pelmar.lock"; Windows opens ".pelmar.lock" alone.
int sys_try_lock(int &fd);
void sys_unlock(int &fd);

// The ending signals: `handler` runs for each (except those ignored at start); SIGPIPE is
// ignored, so a closed console shows as a failed write.
void sys_catch_signals(void (*handler)(int));
// Holds may nest; the outermost release lets a held signal through.
void sys_hold_signals();
void sys_release_signals();
// An ending signal that came while the signals were held, or 0.
int sys_held_signal();
// Lets `sig` end the process as its default action does.
void sys_end_by(int sig);

void sys_open_standard_descriptors();
std::uint64_t sys_process_id();

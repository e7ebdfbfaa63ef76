// The driver's services: the four output files and the console's last check.
#include "frame/frame.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <share.h>
// The Windows runtime's names for the two POSIX calls used below on both systems.
#define fdopen _fdopen
#define close _close
#else
#include <sys/file.h>
#include <unistd.h>
#endif

static const char *const output_names[4] = {"pelmar.out", "disp.out", "velox.out", "accel.out"};

static const int ending_signals[] = {
    SIGINT, SIGTERM,
#ifndef _WIN32
    SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ,
#endif
};

#ifdef _WIN32
// Windows runs a signal handler on a thread of its own and cannot block a signal: one that
// comes while the files are being put in place waits here until they are.
static volatile std::sig_atomic_t holding = 0;
static volatile std::sig_atomic_t held_signal = 0;
#else
static sigset_t mask_before_holding;
#endif

// Removes the temporaries that have a name (an unnamed one vanishes with the process) and
// gives the terminal back, then lets the signal end the run as it means to. Only
// async-signal-safe calls: a name is written into the record before its file exists and
// cleared only while the signals are held, and unlink touches no stdio state.
static void end_run(int sig) {
#ifdef _WIN32
    if (holding) {
        held_signal = sig;
        std::signal(sig, end_run);
        return;
    }
#endif
    for (int slot = 0; slot < 4; ++slot) {
        if (rec.tempname[slot][0] == '\0') continue;
#ifdef _WIN32
        std::remove(rec.tempname[slot]);
#else
        unlink(rec.tempname[slot]);
#endif
    }
    restore_terminal();
#ifdef _WIN32
    std::signal(sig, SIG_DFL);
#else
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
#endif
    // Delivered as soon as the handler returns: the signal is blocked while it runs.
    std::raise(sig);
}

void catch_ending_signals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
#ifdef _WIN32
    // A Windows process starts with every signal at its default action: none to leave ignored.
    for (int sig : ending_signals) std::signal(sig, end_run);
#else
    struct sigaction ours {};
    ours.sa_handler = end_run;
    sigemptyset(&ours.sa_mask);
    for (int sig : ending_signals) sigaddset(&ours.sa_mask, sig);  // one cleanup at a time
    for (int sig : ending_signals) {
        // Asked first, replaced only if not ignored: a signal ignored by whoever started the
        // run (nohup, a limit on file size) stays ignored at every moment.
        struct sigaction before {};
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(sig, &ours, nullptr);
    }
#endif
}

// While held, an ending signal waits: no name of the run's files is half made or half moved.
static void hold_ending_signals() {
#ifdef _WIN32
    holding = 1;
#else
    sigset_t held;
    sigemptyset(&held);
    for (int sig : ending_signals) sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &mask_before_holding);
#endif
}

static void release_ending_signals() {
#ifdef _WIN32
    holding = 0;
    if (held_signal != 0) end_run(held_signal);
#else
    sigprocmask(SIG_SETMASK, &mask_before_holding, nullptr);
#endif
}

// A descriptor 0, 1 or 2 left closed by whoever started the run (`2>&-`) would be the first
// one a created file gets, and the console's text would land in a result file. Each closed one
// is opened on the null device first. The Windows runtime keeps its three standard slots
// taken even without a console, so a file there never gets one of them.
static void open_closed_standard_descriptors() {
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
#endif
}

// 64 bits nobody can guess: the system's random source, mixed with the clock, the process id
// and an address, so that even a weak or missing source gives two runs different names.
static std::uint64_t random_bits() {
    static std::uint64_t state = 0;
    if (state == 0) {
#ifdef _WIN32
        const std::uint64_t pid = static_cast<std::uint64_t>(_getpid());
#else
        const std::uint64_t pid = static_cast<std::uint64_t>(getpid());
#endif
        state = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                (pid << 40) ^ static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&state));
        try {
            std::random_device source;
            state ^= (static_cast<std::uint64_t>(source()) << 32) ^ source();
        } catch (...) {
        }
    }
    // splitmix64: every call a new, well-mixed value.
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A hidden name beside `name`, in the same folder so that renames stay within one file system:
// ".disp.out.<16 hex digits>.tmp".
static void hidden_name(char (&out)[260], const char *name) {
    std::snprintf(out, sizeof out, ".%s.%016llx.tmp", name, static_cast<unsigned long long>(random_bits()));
}

// Tries `create` under fresh hidden names beside `name`, each written into `out` first, until
// one is not taken yet: 0, or the errno of the first failure other than a taken name.
template <class Create>
static int under_new_hidden_name(char (&out)[260], const char *name, Create create) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        hidden_name(out, name);
        const int err = create();
        if (err != EEXIST) return err;
    }
    return EEXIST;
}

#ifdef O_TMPFILE
// On Linux a temporary has no name until it is complete (O_TMPFILE), so a run killed outright
// (SIGKILL, a power cut) leaves nothing; it gets its name through /proc/self/fd. Off when the
// file system or /proc cannot do it: the named temporaries below then take over.
static bool unnamed_temporaries = false;
#endif

// A new, empty temporary for `slot`, never an existing file and never through a symbolic link:
// unnamed where it can be, else created exclusively under a random hidden name, recorded (while
// the signals are held) so that every way out the program controls removes it. The descriptor,
// or -1 with errno.
static int create_temporary(int slot) {
#ifdef O_TMPFILE
    if (unnamed_temporaries) {
        const int fd = open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
        unnamed_temporaries = false;
    }
#endif
    char candidate[260];
    int fd = -1;
    const int err = under_new_hidden_name(candidate, rec.filename[slot], [&] {
        // The name is in the record from before its file exists until after it is gone.
        hold_ending_signals();
        std::strcpy(rec.tempname[slot], candidate);
#ifdef _WIN32
        fd = _open(candidate, _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
#else
        fd = open(candidate, O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0666);
#endif
        const int open_err = fd < 0 ? errno : 0;
        if (fd < 0) rec.tempname[slot][0] = '\0';
        release_ending_signals();
        return open_err;
    });
    errno = err;
    return fd;
}

// Closes what is still open and removes every named temporary.
void abandon_output_files() {
    for (int slot = 0; slot < 4; ++slot) {
        if (rec.pFile[slot] != nullptr) std::fclose(rec.pFile[slot]);
        rec.pFile[slot] = nullptr;
    }
    hold_ending_signals();
    for (int slot = 0; slot < 4; ++slot) {
        if (rec.tempname[slot][0] == '\0') continue;
        std::remove(rec.tempname[slot]);
        rec.tempname[slot][0] = '\0';
    }
    release_ending_signals();
}

// errno for a file name that a finished file could not be renamed over, 0 if it can be: the
// name is free, or it is a file this process may write. "r+" opens without truncating, so the
// check leaves an earlier file as it was; a folder of that name fails with EISDIR.
static int replace_error(const char *name) {
    errno = 0;
    if (std::FILE *f = std::fopen(name, "r+")) {
        std::fclose(f);
        return 0;
    }
    if (errno == ENOENT) return 0;
    return errno != 0 ? errno : EACCES;
}

bool open_output_files() {
    // Before the first file is created, so that none can take a standard descriptor and no
    // moment can leave a temporary behind.
    open_closed_standard_descriptors();
    catch_ending_signals();
#ifdef O_TMPFILE
    unnamed_temporaries = access("/proc/self/fd", X_OK) == 0;
#endif
    for (int slot = 0; slot < 4; ++slot) std::strcpy(rec.filename[slot], output_names[slot]);

    for (int slot = 0; slot < 4; ++slot) {
        // Checked now, before the dialogue, rather than after thirteen answers for nothing.
        int err = replace_error(rec.filename[slot]);
        if (err == 0) {
            errno = 0;
            const int fd = create_temporary(slot);
            if (fd >= 0) rec.pFile[slot] = fdopen(fd, "w");
            if (rec.pFile[slot] == nullptr) err = errno != 0 ? errno : EACCES;
            if (fd >= 0 && rec.pFile[slot] == nullptr) close(fd);
        }
        if (err != 0) {
            std::fprintf(stderr, "pelmar_initial: cannot create %s: %s\n", rec.filename[slot],
                         std::strerror(err));
            abandon_output_files();
            return false;
        }
    }
    return true;
}

// The folder is locked while a run puts its set in place, so that the four replacements of two
// runs never interleave: the folder holds the complete set of one run, the last to finish. The
// lock is an advisory lock on the folder itself (POSIX), which leaves nothing behind, or the
// exclusive opening of ".pelmar.lock" (Windows), removed again when free. The system drops
// either when the run ends, however it ends. A run waits for it up to lock_wait_ms.
static constexpr int lock_wait_ms = 10000;
static constexpr int lock_retry_ms = 10;

static void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The lock's descriptor; -1 without a lock: `busy` when another run held it all the while,
// otherwise the folder cannot be locked at all (a file system without locks) and the run goes
// on unlocked, as every run did before.
static int lock_folder(bool &busy) {
    busy = false;
#ifdef _WIN32
    for (int waited = 0;; waited += lock_retry_ms) {
        const int fd = _sopen(".pelmar.lock", _O_CREAT | _O_RDWR, _SH_DENYRW, _S_IREAD | _S_IWRITE);
        if (fd >= 0) return fd;
        if (errno != EACCES) return -1;
        if (waited >= lock_wait_ms) break;
        pause_ms(lock_retry_ms);
    }
#else
    const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    for (int waited = 0;; waited += lock_retry_ms) {
        if (flock(dir, LOCK_EX | LOCK_NB) == 0) return dir;
        if (errno != EWOULDBLOCK) {
            close(dir);
            return -1;
        }
        if (waited >= lock_wait_ms) break;
        pause_ms(lock_retry_ms);
    }
    close(dir);
#endif
    busy = true;
    return -1;
}

static void unlock_folder(int lock) {
    if (lock < 0) return;
#ifdef _WIN32
    _close(lock);
    std::remove(".pelmar.lock");  // refused while another run holds it open
#else
    close(lock);
#endif
}

// How a file name was given its new file, so that it can be taken back.
enum Placed { untouched, swapped, moved_aside, created };

// Puts the new file of `slot` in place of the earlier one. An earlier file is swapped with the
// new one in one step where the system can (Linux: the earlier file then sits under the hidden
// name); elsewhere it is first moved to a hidden name of its own, `aside`. Either way the
// earlier file stays whole until the set is complete. 0 or errno.
static int place(int slot, Placed &how, char (&aside)[260]) {
    const char *name = rec.filename[slot], *temp = rec.tempname[slot];
    how = untouched;
#ifdef _WIN32
    const bool exists = _access(name, 0) == 0;
#else
    struct stat st {};
    const bool exists = lstat(name, &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return EISDIR;
#endif
    if (!exists) {
        if (std::rename(temp, name) != 0) return errno;
        how = created;
        return 0;
    }
#if defined(RENAME_EXCHANGE)
    if (renameat2(AT_FDCWD, temp, AT_FDCWD, name, RENAME_EXCHANGE) == 0) {
        how = swapped;
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
#endif
    int err = under_new_hidden_name(aside, name, [&] {
#ifdef _WIN32
        return _access(aside, 0) == 0 ? EEXIST : std::rename(name, aside) == 0 ? 0 : errno;
#else
        const int moved = renameat2(AT_FDCWD, name, AT_FDCWD, aside, RENAME_NOREPLACE) == 0 ? 0 : errno;
        if (moved != EINVAL && moved != ENOSYS && moved != EOPNOTSUPP) return moved;
        return link(name, aside) == 0 ? 0 : errno;  // a hard link, then the earlier name goes
#endif
    });
    if (err != 0) return err;
    if (std::rename(temp, name) != 0) {
        err = errno;
        std::rename(aside, name);
        return err;
    }
    how = moved_aside;
    return 0;
}

// Takes back what place() did: the earlier file returns under its name. 0 or errno.
static int unplace(int slot, Placed how, const char (&aside)[260]) {
    const char *name = rec.filename[slot];
    switch (how) {
#if defined(RENAME_EXCHANGE)
    case swapped:
        return renameat2(AT_FDCWD, rec.tempname[slot], AT_FDCWD, name, RENAME_EXCHANGE) == 0 ? 0 : errno;
#endif
    case moved_aside:
#ifdef _WIN32
        std::remove(name);
#endif
        return std::rename(aside, name) == 0 ? 0 : errno;
    case created:
        return std::remove(name) == 0 ? 0 : errno;
    default:
        return 0;
    }
}

#ifdef O_TMPFILE
// Gives the complete unnamed file of `slot` a hidden name of its own (never an existing one).
static int name_unnamed(int slot, int fd) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return under_new_hidden_name(rec.tempname[slot], rec.filename[slot], [&] {
        if (linkat(AT_FDCWD, path, AT_FDCWD, rec.tempname[slot], AT_SYMLINK_FOLLOW) == 0) return 0;
        const int err = errno;
        rec.tempname[slot][0] = '\0';
        return err;
    });
}
#endif

// The line that ends every failed replacement: nothing of this run is in place.
static void say_earlier_results_kept() {
    std::fprintf(stderr, "pelmar_initial: no file was replaced; the earlier results are kept\n");
}

// Puts the four complete temporaries in place of the earlier files, all four or none. `kept`
// holds each file's descriptor (POSIX), still open so that an unnamed file can be named and
// any file given the permission bits of the one it replaces.
static bool replace_earlier_files(const int (&kept)[4]) {
    bool busy = false;
    const int lock = lock_folder(busy);
    if (busy) {
        std::fprintf(stderr, "pelmar_initial: cannot replace the files: another run in this folder "
                             "held them for %d seconds\n", lock_wait_ms / 1000);
        say_earlier_results_kept();
        return false;
    }
    // Nor may a signal stop the replacement halfway: it waits until the set is in place.
    hold_ending_signals();
    int failed = -1, err = 0;
    Placed how[4] = {untouched, untouched, untouched, untouched};
    char aside[4][260] = {};
    // Checked again: a folder made in a file's place during the dialogue is named before any
    // file moves.
    for (int slot = 0; slot < 4 && failed < 0; ++slot)
        if ((err = replace_error(rec.filename[slot])) != 0) failed = slot;
    for (int slot = 0; slot < 4 && failed < 0; ++slot) {
#ifndef _WIN32
        // The earlier file's permission bits (a new file keeps the default, 0666 less the umask).
        struct stat st {};
        if (kept[slot] >= 0 && stat(rec.filename[slot], &st) == 0 && S_ISREG(st.st_mode))
            fchmod(kept[slot], st.st_mode & 07777);
#ifdef O_TMPFILE
        if (rec.tempname[slot][0] == '\0' && (err = name_unnamed(slot, kept[slot])) != 0) {
            failed = slot;
            break;
        }
#endif
#else
        (void)kept;
#endif
        if ((err = place(slot, how[slot], aside[slot])) != 0) failed = slot;
    }
    if (failed >= 0)
        std::fprintf(stderr, "pelmar_initial: cannot replace %s: %s\n", rec.filename[failed], std::strerror(err));
    // All four or none: after a failure the files already in place are taken back, last first.
    bool mixed = false;
    for (int slot = 3; slot >= 0 && failed >= 0; --slot) {
        if (how[slot] == untouched) continue;
        if (const int back = unplace(slot, how[slot], aside[slot])) {
            if (how[slot] == created)
                std::fprintf(stderr, "pelmar_initial: cannot remove the new %s: %s\n", rec.filename[slot],
                             std::strerror(back));
            else
                std::fprintf(stderr, "pelmar_initial: cannot put back the earlier %s (kept as %s): %s\n",
                             rec.filename[slot], how[slot] == swapped ? rec.tempname[slot] : aside[slot],
                             std::strerror(back));
            mixed = true;
        } else {
            how[slot] = untouched;
        }
    }
    // Once the set is in place the earlier files go; after a failure the earlier files that
    // could not be put back stay where the message says.
    for (int slot = 0; slot < 4; ++slot) {
        if (how[slot] == untouched) continue;  // its new file, if named, goes with the temporaries
        if (how[slot] == swapped && failed < 0) std::remove(rec.tempname[slot]);  // the earlier file
        if (how[slot] == moved_aside && failed < 0) std::remove(aside[slot]);
        rec.tempname[slot][0] = '\0';
    }
    release_ending_signals();
    unlock_folder(lock);
    if (failed >= 0 && !mixed) say_earlier_results_kept();
    return failed < 0;
}

bool close_output_files() {
    bool ok = true;
    int kept[4] = {-1, -1, -1, -1};
    for (int slot = 0; slot < 4; ++slot) {
        std::FILE *f = rec.pFile[slot];
        if (f == nullptr) continue;
        errno = 0;
        if (std::fflush(f) != 0 || std::ferror(f)) note_write_error(slot, errno);
#ifndef _WIN32
        // The descriptor outlives the stream: an unnamed file is named through it, and its bits set.
        kept[slot] = dup(fileno(f));
        if (kept[slot] < 0) note_write_error(slot, errno);
#endif
        errno = 0;
        if (std::fclose(f) != 0) note_write_error(slot, errno);
        rec.pFile[slot] = nullptr;
        if (rec.write_error[slot] != 0) {
            std::fprintf(stderr, "pelmar_initial: cannot write %s: %s\n", rec.filename[slot],
                         std::strerror(rec.write_error[slot]));
            ok = false;
        }
    }
    // All four or none: one incomplete file keeps every earlier one.
    if (ok)
        ok = replace_earlier_files(kept);
    else
        say_earlier_results_kept();
#ifndef _WIN32
    for (int fd : kept)
        if (fd >= 0) close(fd);
#endif
    abandon_output_files();
    return ok;
}

bool console_written() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::fprintf(stderr, "pelmar_initial: cannot write to the console: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return false;
}

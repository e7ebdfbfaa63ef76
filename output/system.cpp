// Every call of output/ that differs between POSIX and Windows, behind one small interface.
#include "output/internal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <share.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#endif

// ---- Files -----------------------------------------------------------------------------------

#ifdef _WIN32

int sys_create_unnamed() {
    errno = EOPNOTSUPP;
    return -1;
}

int sys_create_new(const char *name) {
    // Text mode, so that the files get CR LF line ends; read-write for the owner only.
    return _open(name, _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
}

void sys_hold_temporary(int) {}

std::FILE *sys_open_stream(int &fd) {
    // A file open here cannot be renamed: the stream alone holds it, closed before the swap.
    std::FILE *f = _fdopen(fd, "w");
    if (f != nullptr) fd = -1;
    return f;
}

void sys_close(int fd) {
    if (fd >= 0) _close(fd);
}

int sys_name_unnamed(int, const char *) { return unsupported; }
int sys_exchange(const char *, const char *) { return unsupported; }

int sys_move_aside(const char *name, const char *aside, bool &linked) {
    linked = false;
    if (_access(aside, 0) == 0) return EEXIST;
    return std::rename(name, aside) == 0 ? 0 : errno;
}

int sys_replace(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_ALREADY_EXISTS: return EEXIST;
    default: return EIO;
    }
}

FileKind sys_kind(const char *name, std::uint64_t *id, bool) {
    if (id != nullptr) *id = 0;
    struct _stat64 st {};
    if (_stat64(name, &st) != 0) return kind_none;
    if (st.st_mode & _S_IFDIR) return kind_folder;
    return st.st_mode & _S_IFREG ? kind_file : kind_other;
}

std::uint64_t sys_fd_identity(int) { return 0; }
int sys_may_write(const char *name) { return _access(name, 2) == 0 ? 0 : errno; }
bool sys_folder_deleted() { return false; }
bool sys_is_stale(const char *) { return true; }  // removal fails while its run holds it open
void sys_give_attributes(int, const char *) {}

#else

int sys_create_unnamed() {
#ifdef O_TMPFILE
    // The file is named at the end through /proc/self/fd; without /proc it cannot be.
    static const bool named_later = access("/proc/self/fd", X_OK) == 0;
    if (named_later) {
        const int fd = open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0 || (errno != EISDIR && errno != EINVAL && errno != EOPNOTSUPP)) return fd;
    }
#endif
    errno = EOPNOTSUPP;
    return -1;
}

int sys_create_new(const char *name) {
    return open(name, O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0600);
}

void sys_hold_temporary(int fd) { flock(fd, LOCK_EX | LOCK_NB); }

std::FILE *sys_open_stream(int &fd) {
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return nullptr;
    std::FILE *f = fdopen(own, "w");
    if (f == nullptr) {
        const int err = errno;
        close(own);
        errno = err;
    }
    return f;
}

void sys_close(int fd) {
    if (fd >= 0) close(fd);
}

int sys_name_unnamed(int fd, const char *name) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, path, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

// The errors by which a file system says that it has no such rename.
static bool no_such_rename(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

int sys_exchange(const char *a, const char *b) {
#ifdef RENAME_EXCHANGE
    if (renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) == 0) return 0;
    return no_such_rename(errno) ? unsupported : errno;
#else
    (void)a, (void)b;
    return unsupported;
#endif
}

int sys_move_aside(const char *name, const char *aside, bool &linked) {
    linked = false;
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, name, AT_FDCWD, aside, RENAME_NOREPLACE) == 0) return 0;
    if (!no_such_rename(errno)) return errno;
#endif
    if (link(name, aside) == 0) {
        linked = true;
        return 0;
    }
    // No hard links (FAT, SMB) or none allowed here: a plain rename to a name checked free.
    struct stat st {};
    if (errno == EEXIST || lstat(aside, &st) == 0) return EEXIST;
    return std::rename(name, aside) == 0 ? 0 : errno;
}

int sys_replace(const char *from, const char *to) { return std::rename(from, to) == 0 ? 0 : errno; }

FileKind sys_kind(const char *name, std::uint64_t *id, bool follow) {
    if (id != nullptr) *id = 0;
    struct stat st {};
    if ((follow ? stat(name, &st) : lstat(name, &st)) != 0) return kind_none;
    if (id != nullptr) *id = static_cast<std::uint64_t>(st.st_ino);
    if (S_ISDIR(st.st_mode)) return kind_folder;
    return S_ISREG(st.st_mode) ? kind_file : kind_other;
}

std::uint64_t sys_fd_identity(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_ino) : 0;
}

int sys_may_write(const char *name) { return faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0 ? 0 : errno; }

bool sys_folder_deleted() {
    struct stat st {};
    return stat(".", &st) == 0 && st.st_nlink == 0;
}

bool sys_is_stale(const char *name) {
    struct stat st {};
    if (lstat(name, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;  // another user's: its run may be alive
    const bool stale = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return stale;
}

void sys_give_attributes(int fd, const char *earlier) {
    struct stat st {};
    if (earlier == nullptr || lstat(earlier, &st) != 0 || !S_ISREG(st.st_mode)) {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        return;
    }
    // Owner first: a change of owner may clear mode bits. Only root may give a file away.
    struct stat now {};
    if (fstat(fd, &now) == 0 && (now.st_uid != st.st_uid || now.st_gid != st.st_gid))
        if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* kept as created: see the README */ }
    fchmod(fd, st.st_mode & 0777);  // never setuid, setgid or sticky
#ifdef __linux__
    // Every extended attribute, the ACL (system.posix_acl_access) among them; those this
    // process may not set (trusted.* for a user, security.* without the right) stay behind.
    char names[4096];
    const ssize_t size = llistxattr(earlier, names, sizeof names);
    for (ssize_t at = 0; size > 0 && at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        char value[4096];
        const ssize_t got = lgetxattr(earlier, names + at, value, sizeof value);
        if (got >= 0) fsetxattr(fd, names + at, value, static_cast<std::size_t>(got), 0);
    }
#endif
}

#endif

#ifdef _WIN32
int sys_remove(const char *name) { return std::remove(name) == 0 ? 0 : errno; }
#else
int sys_remove(const char *name) { return unlink(name) == 0 ? 0 : errno; }
#endif

int sys_write_new(const char *name, const char *text) {
    const int fd = sys_create_new(name);
    if (fd < 0) return errno;
    const std::size_t size = std::strlen(text);
#ifdef _WIN32
    const bool whole = _write(fd, text, static_cast<unsigned>(size)) == static_cast<int>(size);
#else
    const bool whole = write(fd, text, size) == static_cast<ssize_t>(size);
#endif
    const int err = whole ? 0 : errno != 0 ? errno : EIO;
    sys_close(fd);
    return err;
}

// ---- The folder lock ---------------------------------------------------------------------------

static const char lock_file[] = ".pelmar.lock";

#ifdef _WIN32

int sys_try_lock(int &fd) {
    fd = _sopen(lock_file, _O_CREAT | _O_RDWR, _SH_DENYRW, _S_IREAD | _S_IWRITE);
    if (fd >= 0) return 0;
    return errno == EACCES ? busy : errno;
}

void sys_unlock(int &fd) {
    if (fd < 0) return;
    _close(fd);
    fd = -1;
    std::remove(lock_file);  // refused while another run holds it open
}

#else

int sys_try_lock(int &fd) {
    if (fd < 0) {
        fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        // A folder that may be written but not read (0333): a lock file beside the results,
        // readable by all so that every user's run can lock it. It stays, empty: removing a
        // lock file while others may wait on it would let two runs hold two files.
        if (fd < 0 && errno == EACCES)
            fd = open(lock_file, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0444);
        if (fd < 0) return errno;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EWOULDBLOCK) return busy;
    const int err = errno;
    close(fd);
    fd = -1;
    return err;
}

void sys_unlock(int &fd) {
    if (fd < 0) return;
    close(fd);
    fd = -1;
}

#endif

// ---- Signals and the standard descriptors ----------------------------------------------------

#ifdef _WIN32

static void (*ending_handler)(int) = nullptr;
static const int ending_signals[] = {SIGINT, SIGTERM};
// Windows runs a handler on a thread of its own and cannot block a signal: one that comes while
// held is noted here and acted on at the release.
static volatile std::sig_atomic_t holding = 0;
static volatile std::sig_atomic_t held = 0;

static void on_signal(int sig) {
    if (holding) {
        held = sig;
        std::signal(sig, on_signal);
        return;
    }
    ending_handler(sig);
}

void sys_catch_signals(void (*handler)(int)) {
    ending_handler = handler;
    // A Windows process starts with every signal at its default action: none to leave ignored.
    for (int sig : ending_signals) std::signal(sig, on_signal);
}

void sys_hold_signals() { holding = holding + 1; }

void sys_release_signals() {
    holding = holding - 1;
    if (holding == 0 && held != 0) on_signal(held);
}

int sys_held_signal() { return held; }

void sys_end_by(int sig) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// The runtime keeps its three standard slots taken even without a console.
void sys_open_standard_descriptors() {}

std::uint64_t sys_process_id() { return static_cast<std::uint64_t>(_getpid()); }

#else

static const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};
static sigset_t mask_before_holding;
static int holds = 0;  // holds nest: the outermost one blocks and restores

static void ending_set(sigset_t &set) {
    sigemptyset(&set);
    for (int sig : ending_signals) sigaddset(&set, sig);
}

void sys_catch_signals(void (*handler)(int)) {
    // A console that went away (`| true`) is a failed write, said on stderr; not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction ours {};
    ours.sa_handler = handler;
    ending_set(ours.sa_mask);  // one cleanup at a time
    for (int sig : ending_signals) {
        // Asked first, replaced only if not ignored: a signal ignored by whoever started the
        // run (nohup, a limit on file size) stays ignored at every moment.
        struct sigaction before {};
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) sigaction(sig, &ours, nullptr);
    }
}

void sys_hold_signals() {
    if (holds++ > 0) return;
    sigset_t held;
    ending_set(held);
    sigprocmask(SIG_BLOCK, &held, &mask_before_holding);
}

void sys_release_signals() {
    if (--holds == 0) sigprocmask(SIG_SETMASK, &mask_before_holding, nullptr);
}

int sys_held_signal() {
    sigset_t pending;
    if (sigpending(&pending) != 0) return 0;
    for (int sig : ending_signals)
        if (sigismember(&pending, sig) == 1) return sig;
    return 0;
}

void sys_end_by(int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    // Delivered as soon as the handler returns: the signal is blocked while it runs.
    std::raise(sig);
}

// A descriptor 0, 1 or 2 left closed by whoever started the run (`2>&-`) would be the first one
// a created file gets, and the console's text would land in a result file: each closed one is
// opened on the null device first.
void sys_open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

std::uint64_t sys_process_id() { return static_cast<std::uint64_t>(getpid()); }

#endif

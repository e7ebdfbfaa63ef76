// The four temporaries: how each is created, named and removed, and the signal path that reads them.
#include "output/internal.h"
#include "output/output.h"

#include "frame/frame.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

Temporary temps[4] = {{temp_none, "", -1}, {temp_none, "", -1}, {temp_none, "", -1}, {temp_none, "", -1}};
const char *const output_names[4] = {"pelmar.out", "disp.out", "velox.out", "accel.out"};

// 64 bits nobody can guess: the system's random source, mixed with the clock, the process id and
// an address, so that even a weak or missing source gives two runs different names.
static std::uint64_t random_bits() {
    static std::uint64_t state = 0;
    if (state == 0) {
        state = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                (sys_process_id() << 40) ^ static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&state));
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

// Beside `name`, in the same folder so that renames stay within one file system.
void hidden_name(char (&out)[hidden_max], const char *name) {
    std::snprintf(out, sizeof out, ".%s.%016llx.tmp", name, static_cast<unsigned long long>(random_bits()));
}

bool is_hidden_temporary(const char *entry) {
    for (const char *name : output_names) {
        const std::size_t n = std::strlen(name);
        if (entry[0] != '.' || std::strncmp(entry + 1, name, n) != 0 || entry[1 + n] != '.') continue;
        const char *hex = entry + 2 + n;
        std::size_t digits = 0;
        while (digits < 16 && std::strchr("0123456789abcdef", hex[digits]) != nullptr && hex[digits] != '\0') ++digits;
        if (digits == 16 && std::strcmp(hex + 16, ".tmp") == 0) return true;
    }
    return false;
}

int create_temporary(int slot) {
    Temporary &t = temps[slot];
    int fd = -1, err = 0;
    // Unnamed where the system allows. The tests may force the named temporaries, which every
    // system but Linux takes, so that their path is tested on Linux too.
    static bool unnamed = std::getenv("PELMAR_TEST_NAMED_TEMPORARIES") == nullptr;
    if (unnamed) {
        fd = sys_create_unnamed();
        if (fd < 0 && errno != EOPNOTSUPP) return errno;
        unnamed = fd >= 0;
    }
    if (fd >= 0) {
        sys_hold_signals();
        t.hidden[0] = '\0';
        t.fd = fd;
        t.state = temp_created;
        sys_release_signals();
    } else {
        for (int attempt = 0; attempt < 100; ++attempt) {
            char candidate[hidden_max];
            hidden_name(candidate, output_names[slot]);
            // The name is in the table from before its file exists until after it is gone.
            sys_hold_signals();
            std::memcpy(t.hidden, candidate, sizeof candidate);
            t.state = temp_created;
            fd = sys_create_new(candidate);
            err = fd < 0 ? errno : 0;
            if (fd < 0) {
                t.hidden[0] = '\0';
                t.state = temp_none;
            }
            t.fd = fd;
            sys_release_signals();
            if (err != EEXIST) break;
        }
        if (fd < 0) return err;
    }
    sys_hold_temporary(fd);
    errno = 0;
    rec.pFile[slot] = sys_open_stream(t.fd);
    return rec.pFile[slot] != nullptr ? 0 : errno != 0 ? errno : EMFILE;
}

int name_temporary(int slot) {
    Temporary &t = temps[slot];
    if (t.hidden[0] != '\0') return 0;
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
        char candidate[hidden_max];
        hidden_name(candidate, output_names[slot]);
        sys_hold_signals();
        err = sys_name_unnamed(t.fd, candidate);
        if (err == 0) {
            std::memcpy(t.hidden, candidate, sizeof candidate);
            t.state = temp_named;
        }
        sys_release_signals();
    }
    return err;
}

void remove_temporary(int slot) {
    Temporary &t = temps[slot];
    sys_close(t.fd);  // first: Windows removes no open file
    t.fd = -1;
    sys_hold_signals();
    if (t.state != temp_placed && t.hidden[0] != '\0') sys_remove(t.hidden);
    t.hidden[0] = '\0';
    if (t.state != temp_none) t.state = temp_removed;
    sys_release_signals();
}

// Removes the temporaries that have a name (an unnamed one vanishes with the process) and gives
// the terminal back, then lets the signal end the run as it means to. Only async-signal-safe
// calls, reading the table as its state comments say.
static void end_run(int sig) {
    for (const Temporary &t : temps) {
        const int state = t.state;
        if ((state == temp_created || state == temp_complete || state == temp_named) && t.hidden[0] != '\0')
            sys_remove(t.hidden);
    }
    restore_terminal();
    sys_end_by(sig);
}

void catch_ending_signals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    sys_catch_signals(end_run);
}

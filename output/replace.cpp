// The set replacement: the folder lock, the swap record, the repair of a killed run's swap, the
// stale temporaries, and the four renames with their rollback.
#include "output/internal.h"
#include "output/output.h"

#include "frame/frame.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

// Names the four hidden names of a swap in progress; see output.h.
static const char swap_record[] = ".pelmar.swap";

// The line that ends every failed replacement: nothing of this run is in place.
static void say_earlier_results_kept() {
    std::fprintf(stderr, "pelmar_initial: no file was replaced; the earlier results are kept\n");
}

// ---- The lock ----------------------------------------------------------------------------------

// A run waits up to ten seconds for another run's swap (the tests may shorten the wait), and
// says after one that it waits.
static int lock_wait_ms() {
    const char *test = std::getenv("PELMAR_TEST_LOCK_WAIT_MS");
    return test != nullptr ? std::atoi(test) : 10000;
}
static constexpr int lock_retry_ms = 10;
static constexpr int lock_notice_ms = 1000;

// Takes the folder lock into `lock`: true, or false after the stderr lines that say why.
static bool take_lock(int &lock) {
    const int wait_ms = lock_wait_ms();
    bool told = false;
    for (int waited = 0;; waited += lock_retry_ms) {
        const int err = sys_try_lock(lock);
        if (err == 0) return true;
        if (err != busy) {
            std::fprintf(stderr, "pelmar_initial: cannot lock the folder against other runs: %s\n",
                         std::strerror(err));
            break;
        }
        if (waited >= wait_ms) {
            std::fprintf(stderr, "pelmar_initial: cannot replace the files: another run in this folder "
                                 "held them for %d seconds\n", wait_ms / 1000);
            break;
        }
        if (waited >= lock_notice_ms && !told) {
            std::fprintf(stderr, "pelmar_initial: waiting for another run in this folder to put its files "
                                 "in place\n");
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(lock_retry_ms));
    }
    say_earlier_results_kept();
    return false;
}

// ---- The swap record and its repair --------------------------------------------------------------

// One line per slot, in slot order: the new file's hidden name, the name its earlier file may be
// moved aside to, and the new file's identity (0 where the system has none). The last line
// "end" tells a whole record from one cut short by a kill, which moved nothing yet.
struct SwapPlan {
    char hidden[4][hidden_max];
    char aside[4][hidden_max];
    std::uint64_t id[4];
};

static int write_swap_record(const SwapPlan &plan) {
    std::string text = "pelmar_initial swap\n";
    for (int slot = 0; slot < 4; ++slot) {
        char line[3 * hidden_max];
        std::snprintf(line, sizeof line, "%s %s %" PRIu64 "\n", plan.hidden[slot], plan.aside[slot], plan.id[slot]);
        text += line;
    }
    text += "end\n";
    int err = sys_write_new(swap_record, text.c_str());
    if (err == EEXIST && sys_remove(swap_record) == 0) err = sys_write_new(swap_record, text.c_str());
    return err;
}

// Reads a whole record whose names are hidden names of the right files: false otherwise.
static bool read_swap_record(SwapPlan &plan) {
    std::FILE *f = std::fopen(swap_record, "rb");
    if (f == nullptr) return false;
    char text[1024] = {};
    const std::size_t got = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[got] = '\0';
    const char *at = std::strchr(text, '\n');
    if (std::strncmp(text, "pelmar_initial swap\n", 20) != 0 || at == nullptr) return false;
    for (int slot = 0; slot < 4; ++slot) {
        unsigned long long id = 0;
        int used = 0;
        if (std::sscanf(at + 1, "%63s %63s %llu%n", plan.hidden[slot], plan.aside[slot], &id, &used) != 3) return false;
        plan.id[slot] = id;
        for (const char *name : {plan.hidden[slot], plan.aside[slot]})
            if (!is_hidden_temporary(name) || std::strncmp(name + 1, output_names[slot], std::strlen(output_names[slot])) != 0)
                return false;
        at = std::strchr(at + 1 + used, '\n');
        if (at == nullptr) return false;
    }
    return std::strcmp(at + 1, "end\n") == 0 || std::strcmp(at + 1, "end\r\n") == 0;
}

// Finishes the swap of a run killed during it, under the lock: each new file still under its
// hidden name goes in; the earlier files, under a hidden name or moved aside, go. False after
// one stderr line when a step fails: the folder is then left for the user to see.
static bool repair_killed_swap() {
    const FileKind kind = sys_kind(swap_record);
    if (kind == kind_none) return true;
    SwapPlan plan {};
    if (kind != kind_file || !read_swap_record(plan)) {
        // Not whole: the run was killed while writing it, before it moved anything.
        sys_remove(swap_record);
        return true;
    }
    for (int slot = 0; slot < 4; ++slot) {
        std::uint64_t id = 0;
        int err = 0;
        if (sys_kind(plan.hidden[slot], &id) == kind_file) {
            // The new file, or after an exchange the earlier one.
            err = plan.id[slot] == 0 || id == plan.id[slot] ? sys_replace(plan.hidden[slot], output_names[slot])
                                                            : sys_remove(plan.hidden[slot]);
        }
        if (err == 0 && sys_kind(plan.aside[slot]) == kind_file) err = sys_remove(plan.aside[slot]);
        if (err != 0) {
            std::fprintf(stderr, "pelmar_initial: cannot finish the swap of a run killed during it: cannot "
                                 "replace %s: %s; nothing was written\n", output_names[slot], std::strerror(err));
            return false;
        }
    }
    sys_remove(swap_record);
    std::fprintf(stderr, "pelmar_initial: a run in this folder was killed while it put its files in place; "
                         "its set is now complete\n");
    return true;
}

// Removes the hidden temporaries of killed runs, under the lock. A live run holds a lock on each
// of its own, so they stay; a folder that cannot be listed keeps what it holds.
static void remove_stale_temporaries() {
    std::error_code ec;
    for (std::filesystem::directory_iterator e(".", ec), end; !ec && e != end; e.increment(ec)) {
        const std::string name = e->path().filename().string();
        if (is_hidden_temporary(name.c_str()) && sys_is_stale(name.c_str())) sys_remove(name.c_str());
    }
}

// ---- Opening -----------------------------------------------------------------------------------

// Why the file `name` could not be replaced, judged without opening it (a FIFO must not see an
// end of file): nullptr if it can be.
static const char *replace_refusal(const char *name) {
    switch (sys_kind(name, nullptr, true)) {
    case kind_none: return nullptr;
    case kind_folder: return std::strerror(EISDIR);
    case kind_other: return "not a regular file";
    case kind_file: break;
    }
    const int err = sys_may_write(name);
    return err == 0 ? nullptr : std::strerror(err);
}

bool open_output_files() {
    // Before the first file is created, so that none can take a standard descriptor and no
    // moment can leave a temporary behind.
    sys_open_standard_descriptors();
    catch_ending_signals();
    for (int slot = 0; slot < 4; ++slot) std::strcpy(rec.filename[slot], output_names[slot]);

    // Checked now, before the dialogue, rather than after thirteen answers for nothing.
    if (sys_folder_deleted()) {
        std::fprintf(stderr, "pelmar_initial: cannot create %s: the current folder has been deleted\n",
                     rec.filename[0]);
        return false;
    }
    for (int slot = 0; slot < 4; ++slot)
        if (const char *why = replace_refusal(rec.filename[slot])) {
            std::fprintf(stderr, "pelmar_initial: cannot create %s: %s\n", rec.filename[slot], why);
            return false;
        }
    int lock = -1;
    if (!take_lock(lock)) return false;
    bool ok = repair_killed_swap();
    if (ok) remove_stale_temporaries();
    // Created under the lock, so that no other run's sweep sees one before its own lock is on it.
    for (int slot = 0; slot < 4 && ok; ++slot) {
        if (const int err = create_temporary(slot)) {
            std::fprintf(stderr, "pelmar_initial: cannot create %s: %s\n", rec.filename[slot], std::strerror(err));
            ok = false;
        }
    }
    sys_unlock(lock);
    if (!ok) abandon_output_files();
    return ok;
}

void abandon_output_files() {
    for (int slot = 0; slot < 4; ++slot) {
        if (rec.pFile[slot] != nullptr) std::fclose(rec.pFile[slot]);
        rec.pFile[slot] = nullptr;
        remove_temporary(slot);
    }
}

// ---- The swap ----------------------------------------------------------------------------------

// How an output name was given its new file, so that it can be taken back.
enum Placed {
    untouched,
    swapped,     // exchanged in one step: the earlier file sits under the hidden name
    created,     // there was no earlier file
    aside_only,  // the earlier file moved aside (or linked there), the new one not yet in
    moved,       // the earlier file moved aside, the new one renamed in
};

struct SlotSwap {
    Placed how = untouched;
    bool linked = false;  // the aside name is a second link: the earlier name was never gone
};

// Puts the new file of `slot` in place of the earlier one: exchanged in one step where the file
// system can, else the earlier file moved aside first (a rename that refuses to replace, a hard
// link, or a plain rename), then the new one renamed in. Either way the earlier file stays whole
// until the set is complete. 0 or errno.
static int place(int slot, const SwapPlan &plan, SlotSwap &s) {
    const char *name = output_names[slot], *temp = plan.hidden[slot];
    if (sys_kind(name) == kind_none) {
        const int err = sys_replace(temp, name);
        if (err == 0) s.how = created;
        return err;
    }
    int err = sys_exchange(temp, name);
    if (err == 0) s.how = swapped;
    if (err != unsupported) return err;
    if ((err = sys_move_aside(name, plan.aside[slot], s.linked)) != 0) return err;
    s.how = aside_only;
    if ((err = sys_replace(temp, name)) != 0) return err;
    s.how = moved;
    return 0;
}

// Takes back what place() did: the new file returns under its hidden name, the earlier one
// under its own. 0 or errno.
static int unplace(int slot, const SwapPlan &plan, SlotSwap &s) {
    const char *name = output_names[slot], *temp = plan.hidden[slot];
    int err = 0;
    switch (s.how) {
    case swapped: err = sys_exchange(temp, name); break;
    case created: err = sys_replace(name, temp); break;
    case moved:
        if ((err = sys_replace(name, temp)) != 0) break;
        // The earlier file now lives under the aside name alone, linked there or not.
        s.how = aside_only;
        s.linked = false;
        [[fallthrough]];
    case aside_only:
        // A second link goes; if even that is refused (a sticky folder, another's file), the
        // earlier file is whole under its name all the same, and the stale sweep may remove it.
        if (s.linked) sys_remove(plan.aside[slot]);
        else err = sys_replace(plan.aside[slot], name);
        break;
    case untouched: break;
    }
    if (err == 0) s.how = untouched;
    return err;
}

// Puts the four complete temporaries in place of the earlier files, all four or none, under the
// lock with the ending signals held. True when the set is in place; false after the stderr lines
// that say why (none when a signal stopped it: the signal then ends the run).
static bool swap_in() {
    SwapPlan plan {};
    // Checked again: a folder made in a file's place during the dialogue is named before
    // anything moves.
    for (const char *name : output_names)
        if (const char *why = replace_refusal(name)) {
            std::fprintf(stderr, "pelmar_initial: cannot replace %s: %s\n", name, why);
            say_earlier_results_kept();
            return false;
        }
    for (int slot = 0; slot < 4; ++slot) {
        Temporary &t = temps[slot];
        // Private until now; the bits, owner and attributes of the file it replaces from here.
        sys_give_attributes(t.fd, sys_kind(output_names[slot]) == kind_file ? output_names[slot] : nullptr);
        if (const int err = name_temporary(slot)) {
            std::fprintf(stderr, "pelmar_initial: cannot name the new %s: %s\n", output_names[slot], std::strerror(err));
            say_earlier_results_kept();
            return false;
        }
        std::memcpy(plan.hidden[slot], t.hidden, hidden_max);
        hidden_name(plan.aside[slot], output_names[slot]);
        plan.id[slot] = t.fd >= 0 ? sys_fd_identity(t.fd) : 0;
    }
    if (const int err = write_swap_record(plan)) {
        std::fprintf(stderr, "pelmar_initial: cannot write %s: %s\n", swap_record, std::strerror(err));
        say_earlier_results_kept();
        return false;
    }
    SlotSwap s[4];
    int failed = -1, err = 0;
    bool stopped = false;  // an ending signal came: the earlier set stays
    for (int slot = 0; slot < 4 && failed < 0 && !stopped; ++slot) {
        if ((err = place(slot, plan, s[slot])) != 0) failed = slot;
        if (s[slot].how != untouched) temps[slot].state = temp_placed;
        stopped = sys_held_signal() != 0;
    }
    if (failed >= 0)
        std::fprintf(stderr, "pelmar_initial: cannot replace %s: %s\n", output_names[failed], std::strerror(err));
    // All four or none: after a failure or a signal the files already in place are taken back,
    // last first.
    for (int slot = 3; slot >= 0 && (failed >= 0 || stopped); --slot) {
        if (s[slot].how == untouched) continue;
        if (const int back = unplace(slot, plan, s[slot])) {
            // The swap record stays and every file under it: the next run completes the set.
            std::fprintf(stderr, "pelmar_initial: cannot put back the earlier %s: %s; the next run here "
                                 "completes the set\n", output_names[slot], std::strerror(back));
            for (Temporary &t : temps) t.state = temp_placed;
            return false;
        }
        temps[slot].state = temp_named;
    }
    // Once the set is in place the earlier files go, then the record.
    for (int slot = 0; slot < 4; ++slot) {
        if (s[slot].how == swapped) sys_remove(plan.hidden[slot]);
        if (s[slot].how == moved) sys_remove(plan.aside[slot]);
        if (s[slot].how != untouched) temps[slot].hidden[0] = '\0';
    }
    sys_remove(swap_record);
    if (failed >= 0) say_earlier_results_kept();
    return failed < 0 && !stopped;
}

// Closes the four streams; false after a stderr line per file that could not be written.
static bool close_streams() {
    bool ok = true;
    for (int slot = 0; slot < 4; ++slot) {
        std::FILE *f = rec.pFile[slot];
        if (f == nullptr) continue;
        errno = 0;
        if (std::fflush(f) != 0 || std::ferror(f)) note_write_error(slot, errno);
        errno = 0;
        if (std::fclose(f) != 0) note_write_error(slot, errno);
        rec.pFile[slot] = nullptr;
        if (rec.write_error[slot] != 0) {
            std::fprintf(stderr, "pelmar_initial: cannot write %s: %s\n", rec.filename[slot],
                         std::strerror(rec.write_error[slot]));
            ok = false;
        } else {
            temps[slot].state = temp_complete;
        }
    }
    return ok;
}

bool close_output_files() {
    // All four or none: one incomplete file keeps every earlier one.
    bool ok = true;
    for (int slot = 0; slot < 4; ++slot) {
        errno = 0;
        if (rec.pFile[slot] != nullptr && (std::fflush(rec.pFile[slot]) != 0 || std::ferror(rec.pFile[slot])))
            note_write_error(slot, errno);
        if (rec.write_error[slot] != 0) ok = false;
    }
    // The streams close under the lock: on Windows an open file is what keeps another run's
    // sweep away from it.
    int lock = -1;
    if (ok && !take_lock(lock)) {
        abandon_output_files();
        return false;
    }
    if (close_streams() && ok) {
        sys_hold_signals();
        ok = swap_in();
        sys_release_signals();  // a signal held during the swap ends the run here
    } else {
        ok = false;
        say_earlier_results_kept();
    }
    sys_unlock(lock);
    abandon_output_files();
    return ok;
}

// The driver's services: creating and closing the four output files.
#include "frame/frame.h"

#include <cerrno>
#include <cstring>

static const char *const output_names[4] = {"pelmar.out", "disp.out", "velox.out", "accel.out"};

bool open_output_files() {
    for (int slot = 0; slot < 4; ++slot) {
        std::strcpy(rec.filename[slot], output_names[slot]);
        rec.pFile[slot] = std::fopen(rec.filename[slot], "w");
        if (rec.pFile[slot] == nullptr) {
            // Writing on through a stream that never opened would lose the results silently.
            std::fprintf(stderr, "pelmar_initial: cannot create %s: %s\n", rec.filename[slot],
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool close_output_files() {
    bool ok = true;
    for (int slot = 0; slot < 4; ++slot) {
        std::FILE *f = rec.pFile[slot];
        if (f == nullptr) continue;
        errno = 0;
        if (std::fflush(f) != 0 || std::ferror(f)) note_write_error(slot, errno);
        errno = 0;
        if (std::fclose(f) != 0) note_write_error(slot, errno);
        rec.pFile[slot] = nullptr;
        if (write_error[slot] != 0) {
            std::fprintf(stderr, "pelmar_initial: cannot write %s: %s\n", rec.filename[slot],
                         std::strerror(write_error[slot]));
            ok = false;
        }
    }
    return ok;
}

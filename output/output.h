// The four output files: what a run promises about them, and the calls that keep the promise.
#pragma once

// What holds, however a run ends (docs/output-files.md tells the why and the how):
//
// - All four or none. The results are written into temporaries; only a run whose four files are
//   complete puts them in place of the earlier four, and if one of them cannot be put in place
//   the others are taken back. A signal that comes during the swap waits, then the swap is taken
//   back and the signal ends the run: a run ended by a signal leaves the earlier files.
// - One run's set. The swap happens under a lock on the folder (or on ".pelmar.lock" where the
//   folder cannot be opened; never without a lock), so the swaps of two runs never interleave.
// - A kill is repaired. Before its first rename a run writes ".pelmar.swap", naming what it is
//   about to move, and removes it after its last. The next run finds a record left by a killed
//   run under the lock, before anything else, finishes that swap and says so in one line; it
//   also removes the hidden temporaries of killed runs (never of live ones: each run locks its own).
// - Nothing else touched. Temporaries are created new, never through an existing name or a link,
//   with names nobody can predict, mode 0600 until complete; unnamed where the system allows.
// - A replaced file keeps its permission bits (never setuid or setgid) and, where the process may,
//   its owner, group, ACL and extended attributes; a new one gets 0666 less the umask.
// - What the end cannot do is found before the dialogue: a folder or a FIFO at an output name, an
//   earlier file this process may not write, a folder that cannot be locked, too few descriptors.

// Creates the four files as temporaries, after checking that each file name can be replaced,
// repairing a swap a killed run left and removing stale temporaries. False after a stderr line
// naming what failed; nothing is left.
bool open_output_files();
// Flushes and closes all four; if every write succeeded, puts them in place of the earlier
// files, all four or none, otherwise removes them. False after a stderr line per failure and a
// last one saying that the earlier results are kept.
bool close_output_files();
// Closes and removes the four temporaries, for a run that ends before its results exist; the
// earlier files stay as they were. Says nothing; the caller tells why.
void abandon_output_files();
// Installs, once for the whole run, the one handler of the signals that can end a run early
// (Ctrl-C, a kill, a hang-up; on POSIX also quit and a file-size limit): it removes the named
// temporaries, gives the terminal back and lets the signal end the run. A signal ignored by
// whoever started the run stays ignored.
void catch_ending_signals();
// The final pause (frame/key_wait.cpp): one key without echo on a terminal; at once otherwise.
// The handler above must be installed first (open_output_files does it).
void wait_for_key();
// Puts back the terminal settings the key wait changed, if it changed them; async-signal-safe.
// The signal path calls it.
void restore_terminal();

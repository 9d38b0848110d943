// Letting go of a replaced file off the caller's thread.
//
// When a rename replaces a file that has no other link, dropping the last
// reference to the old file frees it there and then: its pages and blocks,
// after a wait for the file system's journal (which a large rename just
// before has filled). That costs the renaming call 10 to 30 ms; the old file
// is instead held open across the rename and handed over here.
#pragma once

namespace brinewick::stream {

// Closes `fd` (a descriptor of a file with no name left) on a short-lived
// helper thread that blocks every signal, or at once when no thread can be
// started. A child forked while a close is pending closes its own copy of
// the descriptor at once: no process keeps the file alive that did not ask to.
void close_later(int fd) noexcept;

// Returns once every descriptor handed to close_later so far is closed.
void wait_for_pending_closes() noexcept;

}  // namespace brinewick::stream

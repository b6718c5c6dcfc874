// Reading another program's X11 clipboard or primary selection as text on a worker
// thread, over an X connection of its own. Qt reads a selection on the window's
// thread and waits there for the whole transfer (seconds for a hundred megabytes
// held by xclip); the output pane reads it here instead, while the window goes on.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

namespace zarvo::qt {

enum class TXSelectionRead {
    Done,      // every piece was handed over
    Stopped,   // stop was set
    NoText,    // the owner gives no text (or stopped answering); the caller may ask Qt
    NoDisplay, // no X display, or built without X
};

// Whether this process's windows are on X11 and the reader was built in.
bool XSelectionReadable();

// Asks the owner of the clipboard (or of the primary selection) for its text and
// hands it to piece as it arrives, as UTF-8 (UTF8_STRING, or STRING from Latin-1),
// the bytes as the owner sends them. Waits at most 5 s for each answer; looks at
// stop between answers. Runs on any thread.
TXSelectionRead ReadXSelection(bool primary, const std::function<void(std::string_view)>& piece,
                               const std::atomic<bool>& stop);

} // namespace zarvo::qt

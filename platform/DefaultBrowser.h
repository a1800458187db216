// Opening a web address in the user's default browser.
#pragma once

#include <string>

namespace platform {

// Hands url to the desktop's opener, detached, without a shell, and returns at once. False when
// nothing was started: an empty address, one beginning with "-" (an opener would read it as an
// option), or no opener on this machine.
bool openInDefaultBrowser(const std::string& url);

}  // namespace platform

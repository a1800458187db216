// The texts of the error screens for failed asset actions and failed downloads.
#pragma once

#include <functional>
#include <string>

#include "localization/ZDictFlat.h"

// The error code put in place of a text's "@#<error number>@#" where no row names one.
inline constexpr const char* kDefaultErrorCode = "A12E0";

// For a failed action (actionType 1 install with the installer's resultCode, 2 extract): the
// looked-up text with its error code, and whether the support link goes with it. Row 503 also
// calls showSupportButton once (the caller sets the second button to open the support page).
// An action type with no row sets no text: text is then the previous call's. Always true.
bool resolveInstallError(std::string& text, int& actionType, int& resultCode, ZDictHandle dictionary,
                         bool& showLink, const std::function<void()>& showSupportButton = {});

// For a failed download (the engine's error type): the text, whether the error is fatal and
// whether the support link goes with it. -8 (proxy authentication) sets no text. Always true.
bool resolveDownloadError(std::string& text, int& errorType, int& extendedErrorCode, ZDictHandle dictionary,
                          bool& fatal, bool& showLink);

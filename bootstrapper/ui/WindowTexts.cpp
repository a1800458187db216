// Resolving the window's fixed texts in one pass.
#include "bootstrapper/ui/WindowTexts.h"

#include "bootstrapper/support/SupportAddress.h"
#include "bootstrapper/support/ZORUtils.h"
#include "bootstrapper/ui/ScreenModel.h"

WindowTexts WindowTexts::fromLookup(const std::function<std::string(const std::string& key)>& lookup) {
    const auto button = [&lookup](const char* key) { return ScreenModel::removeHotKeyAccelerator(lookup(key)); };
    WindowTexts texts;
    texts.quitButton = button(kQuitButtonKey);
    texts.retryButton = button(kRetryButtonKey);
    texts.issuesHeading = lookup(kIssuesHeadingKey);
    texts.linkText = lookup(kLinkTextKey);
    texts.linkAddress = lookup(std::string(kLinkAddressKeyPrefix) + kSupportAddress);
    texts.sheetMessage = lookup(kSheetMessageKey);
    texts.sheetUserLabel = lookup(kSheetUserLabelKey);
    texts.sheetPasswordLabel = lookup(kSheetPasswordLabelKey);
    texts.rememberCredentials = lookup(kRememberCredentialsKey);
    texts.submitButton = button(kSubmitButtonKey);
    texts.cancelButton = button(kCancelButtonKey);
    texts.installPackage = lookup(kInstallPackageKey);
    texts.quitQuestion = lookup(kQuitQuestionKey);
    texts.yesButton = button(kYesButtonKey);
    texts.noButton = button(kNoButtonKey);
    return texts;
}

WindowTexts WindowTexts::resolve(ZORUtils* utils) {
    return fromLookup([utils](const std::string& key) { return lookUp(utils, key); });
}

WindowTexts WindowTexts::defaults() { return fromLookup(&WindowTexts::defaultText); }

std::string WindowTexts::defaultText(const std::string& key) {
    const auto equals = key.find('=');
    return equals == std::string::npos ? std::string() : key.substr(equals + 1);
}

std::string WindowTexts::lookUp(const ZORUtils* utils, const std::string& key) {
    if (utils == nullptr) return defaultText(key);
    std::string text;
    utils->getLocalizedString(key, text);
    return text;
}

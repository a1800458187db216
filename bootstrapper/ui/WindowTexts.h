// The window's fixed texts, resolved once on the main thread before the worker starts.
#pragma once

#include <functional>
#include <string>

class ZORUtils;

// After the worker starts, the main thread must not touch the dictionary (it has no locks), so
// every text the window shows of its own accord is looked up here, in advance. Button titles
// carry no accelerator marks.
struct WindowTexts {
    // Keys with their default texts, as the dictionary looks them up.
    static constexpr const char* kQuitButtonKey = "$$$/ZOR/QuitButton=&Quit";
    static constexpr const char* kRetryButtonKey = "$$$/ZOR/RetryButton=&Retry";
    static constexpr const char* kSheetMessageKey =
        "$$$/ZOR/AuthProxyErrorLabel=Please provide your proxy server username and password";
    static constexpr const char* kSheetUserLabelKey = "$$$/ZOR/AuthProxyUsernameLabel=Username";
    static constexpr const char* kSheetPasswordLabelKey = "$$$/ZOR/AuthProxyPasswordLabel=Password";
    static constexpr const char* kRememberCredentialsKey = "$$$/ZOR/RememberCredentials=Remember my credentials";
    static constexpr const char* kSubmitButtonKey = "$$$/ZOR/AuthProxySubmitButton=&Continue";
    static constexpr const char* kCancelButtonKey = "$$$/ZOR/AuthProxyCancelButton=&Cancel";
    static constexpr const char* kInstallPackageKey = "$$$/ZOR/InstallPackage=Initializing Installer";
    static constexpr const char* kIssuesHeadingKey =
        "$$$/ZOR/EncounteredIssues=We've encountered the following issues";
    static constexpr const char* kLinkTextKey = "$$$/ZOR/ContactCustomerSupportText=Customer support website";
    // Its default text is the support address, appended when the key is looked up.
    static constexpr const char* kLinkAddressKeyPrefix = "$$$/ZOR/CustomerSupportLink=";
    static constexpr const char* kQuitQuestionKey = "$$$/ZOR/QuitConfirm=Are you sure you want to quit?";
    static constexpr const char* kYesButtonKey = "$$$/ZOR/CancelConfirmYes=&Yes";
    static constexpr const char* kNoButtonKey = "$$$/ZOR/CancelConfirmNo=&No";

    // Fixed and never localized: the window's title and the quit question's message text.
    static constexpr const char* kWindowTitle = "Morvane Studio Packager";

    std::string windowTitle = kWindowTitle;
    std::string quitButton;          // accelerator removed
    std::string retryButton;         // accelerator removed
    std::string issuesHeading;       // heading of the warning and fatal screens
    std::string linkText;
    std::string linkAddress;
    std::string sheetMessage;
    std::string sheetUserLabel;
    std::string sheetPasswordLabel;
    std::string rememberCredentials; // the check box's title
    std::string submitButton;        // accelerator removed
    std::string cancelButton;        // accelerator removed
    std::string installPackage;      // the first progress title
    std::string quitQuestion;
    std::string yesButton;           // accelerator removed
    std::string noButton;            // accelerator removed

    bool operator==(const WindowTexts&) const = default;

    // Looks every key up through `lookup` (key with default text in, text out).
    static WindowTexts fromLookup(const std::function<std::string(const std::string& key)>& lookup);
    // Through the session's dictionary; without one (nullptr), the keys' default texts.
    static WindowTexts resolve(ZORUtils* utils);
    // The keys' default texts, as an unloaded dictionary gives them.
    static WindowTexts defaults();
    // A key string's default text: what follows its first "=" (empty without one).
    static std::string defaultText(const std::string& key);
    // The text of one key through the dictionary, or its default text without one.
    static std::string lookUp(const ZORUtils* utils, const std::string& key);
};

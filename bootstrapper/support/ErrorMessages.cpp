// The error-screen texts: a key string per failure, its short error code and the link flags.
#include "bootstrapper/support/ErrorMessages.h"

#include "bootstrapper/support/SupportAddress.h"
#include "bootstrapper/support/ZORUtils.h"
#include "foundation/utils/NativeCriticalSection.h"
#include "foundation/utils/StringUtils.h"

namespace {

constexpr const char* kBSFatalErrorScreen =
    "$$$/ZOR/BSFatalErrorScreen=Sorry, there seems to be a problem with the installation process (Error code: "
    "@#<error number>@#). For troubleshooting tips, please visit our customer support page.";
constexpr const char* kAdminError =
    "$$$/ZOR/AdminError=Administrator privileges are required to continue with the installation.";
constexpr const char* kZAMInstallFailed = "$$$/ZOR/ZAMInstallFailed=Morvane Studio Packager failed to install.";
constexpr const char* kMultipleInstError =
    "$$$/ZOR/MultipleInstError=Zarvo installer is already running. Please close other Zarvo installers and "
    "select retry option to continue with this installation.";
constexpr const char* kAnotherMSIRunning =
    "$$$/ZOR/AnotherMSIRunning=Another installer is currently running, which must be closed before installing "
    "this product. Please close other installers.";
constexpr const char* kErrorDiskSpace =
    "$$$/ZOR/ErrorDiskSpace=Insufficient hard disk space. Please refer to the installation guide for more details.";
constexpr const char* kFatalErrorScreen =
    "$$$/ZOR/FatalErrorScreen=Sorry, the program is not responding correctly (Error code: @#<error number>@#). "
    "For troubleshooting tips, please visit our customer support page.";
constexpr const char* kNetworkUnavailable = "$$$/ZOR/NetworkUnavailable=Please connect to internet, then try again.";
constexpr const char* kServerErrorText =
    "$$$/ZOR/ServerErrorText=The remote server is not responding in a proper manner. Please retry after a few "
    "minutes.";
constexpr const char* kErrorWritePermission =
    "$$$/ZOR/ErrorWritePermission=You donot have permission to download a file.";
constexpr const char* kDownloadUnknownErrorScreen =
    "$$$/ZOR/DownloadUnknownErrorScreen=Sorry, there seems to be a problem with the download process (Error "
    "code: @#<error number>@#). For troubleshooting tips, please visit our customer support page.";

std::string signCheckFailedKey() {
    return std::string("$$$/ZOR/ZSSignCheckFailed=There seems to be a problem with Morvane Studio Packager. "
                       "Please contact Customer Support.\nCustomer Support: ") +
           kSupportAddress;
}

// The one text both resolvers write, kept between calls: a call that sets none returns it.
struct SharedText {
    ZEZUUtils::NativeCriticalSection lock;
    quirra_private::ZString* text GUARDED_BY(lock) = nullptr;

    SharedText() {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        zstrCreate(&text);
    }
    ~SharedText() {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        zstrDestroy(&text);
    }
    SharedText(const SharedText&) = delete;
    SharedText& operator=(const SharedText&) = delete;
};

SharedText& sharedText() {
    static SharedText shared;
    return shared;
}

// Looks keyString up (when given) into the shared text and gives the text with the error code
// in place of its first placeholder when showLink is set.
std::string resolve(const char* keyString, ZDictHandle dictionary, bool showLink, const std::string& errorCode) {
    SharedText& shared = sharedText();
    std::string text;
    {
        ZEZUUtils::ScopedCriticalSection hold(shared.lock);
        if (keyString != nullptr) {
            // Without a dictionary an empty one still gives the default texts.
            quirra_private::ZStringDictionary empty;
            quirra_private::ZStringDictionary* fallback = &empty;
            if (dictionary == nullptr || *dictionary == nullptr) dictionary = &fallback;
            quirra_private::ZString* found = nullptr;
            zdictLookup(&found, dictionary, keyString, nullptr);
            zstrAssign(&shared.text, &found);
            zstrDestroy(&found);
        }
        text = ZORUtils::toUTF8(&shared.text);
    }
    std::string utf8;
    StringUtils::NativeToUTF8(text, utf8);
    if (showLink) utf8 = ZORUtils::replacePlaceholder(utf8, errorCode, "");
    return utf8;
}

}  // namespace

bool resolveInstallError(std::string& text, int& actionType, int& resultCode, ZDictHandle dictionary, bool& showLink,
                         const std::function<void()>& showSupportButton) {
    showLink = false;
    std::string errorCode = kDefaultErrorCode;
    std::string key;
    bool hasKey = true;
    if (actionType == 1) {
        switch (resultCode) {
            case 501:
            case 504:
                key = kBSFatalErrorScreen;
                showLink = true;
                errorCode = "A12E6";
                break;
            case 502:
            case 100:
            case -10: key = kAdminError; break;
            case 503:
                key = signCheckFailedKey();
                if (showSupportButton) showSupportButton();
                break;
            case 10:
            case -5:
            case -6:
                key = kZAMInstallFailed;
                showLink = true;
                break;
            case -2: key = kMultipleInstError; break;
            case -17: key = kAnotherMSIRunning; break;
            case -18: key = kErrorDiskSpace; break;
            default:
                key = kBSFatalErrorScreen;
                showLink = true;
                errorCode = "A12E1";
                break;
        }
    } else if (actionType == 2) {
        key = kFatalErrorScreen;
        showLink = true;
        errorCode = "A12E3";
    } else {
        hasKey = false;
    }
    text = resolve(hasKey ? key.c_str() : nullptr, dictionary, showLink, errorCode);
    return true;
}

bool resolveDownloadError(std::string& text, int& errorType, int& extendedErrorCode, ZDictHandle dictionary,
                          bool& fatal, bool& showLink) {
    (void)extendedErrorCode;
    showLink = false;
    std::string errorCode = kDefaultErrorCode;
    const char* key = nullptr;
    switch (errorType) {
        case -90:
        case -80:
        case -70:
            key = kFatalErrorScreen;
            fatal = true;
            showLink = true;
            errorCode = "A12E4";
            break;
        case -50:
            key = kNetworkUnavailable;
            fatal = false;
            break;
        case -45:
        case -40:
        case -4:
            key = kServerErrorText;
            fatal = false;
            break;
        case -30:
            key = kErrorDiskSpace;
            fatal = true;
            break;
        case -20:
            key = kErrorWritePermission;
            fatal = true;
            showLink = true;
            break;
        case -8:
            // The workflow asks for proxy credentials instead of showing a text.
            fatal = false;
            break;
        default:
            key = kDownloadUnknownErrorScreen;
            fatal = true;
            showLink = true;
            errorCode = "A12E5";
            break;
    }
    text = resolve(key, dictionary, showLink, errorCode);
    return true;
}

// The screen rules: what each call of the window interface leaves shown.
#include "bootstrapper/ui/ScreenModel.h"

#include "bootstrapper/ui/JsonText.h"

#include <cmath>
#include <cstdio>
#include <utility>

ScreenModel::ScreenModel(WindowTexts texts) : texts_(std::move(texts)) {
    title_ = texts_.installPackage;
    retryText_ = texts_.retryButton;
}

void ScreenModel::applyCloseUI() { windowShown_ = false; }

void ScreenModel::applyEnableQuitButton(bool enabled) {
    quitVisible_ = true;
    setQuitEnabled(enabled);
}

void ScreenModel::applyUpdateProgressTitle(const std::string& text) { title_ = text; }

void ScreenModel::applyShowFatalErrorScreen(const std::string& text, bool showLink, bool focusSecondButton) {
    showErrorScreen(Screen::Fatal, text);
    // The second button keeps whatever visibility it had: row 503 shows it separately, before.
    linkVisible_ = showLink;
    focus_ = focusSecondButton && retryVisible_ && retryEnabled_ ? Control::RetryButton : Control::QuitButton;
}

void ScreenModel::applyShowWarningErrorScreen(const std::string& text, bool showRetry) {
    showErrorScreen(Screen::Warning, text);
    // Visible exactly per the flag, so a second button left from an earlier screen goes.
    retryVisible_ = showRetry;
    linkVisible_ = false;
    focus_ = retryVisible_ && retryEnabled_ ? Control::RetryButton : Control::QuitButton;
}

void ScreenModel::applyShowProgressScreen(const std::string& title, bool quitEnabled) {
    screen_ = Screen::Progress;
    retryVisible_ = false;
    errorTextVisible_ = false;
    infoIconVisible_ = false;
    linkVisible_ = false;
    progressBarVisible_ = true;
    alertIconShown_ = false;
    if (!title.empty()) title_ = title;
    quitVisible_ = true;
    setQuitEnabled(quitEnabled);
    if (focus_ == Control::RetryButton) focus_ = Control::None;
}

void ScreenModel::applyUpdateProgressPercent(float percent) { percent_ = clampPercent(percent); }

void ScreenModel::applyShowButton2(bool show) {
    retryVisible_ = show;
    if (show) retryEnabled_ = true;
    if (!show && focus_ == Control::RetryButton) focus_ = Control::None;
}

void ScreenModel::applySetButton2Text(const std::string& text) { retryText_ = removeHotKeyAccelerator(text); }

void ScreenModel::applyShowQuitConfirmation() { dialog_ = Dialog::QuitQuestion; }

void ScreenModel::applyShowProxyDialog(const std::string&, const std::string&, const std::string&) {
    // The sheet's texts are the fixed ones resolved before the run; these labels are ignored.
    dialog_ = Dialog::ProxySheet;
}

void ScreenModel::closeDialog() { dialog_ = Dialog::None; }

void ScreenModel::setSheetFields(const std::string& user, const std::string& password) {
    sheetUser_ = user;
    sheetPassword_ = password;
}

void ScreenModel::setRememberChecked(bool checked) { rememberChecked_ = checked; }

bool ScreenModel::acceptsClick(Control control) const {
    if (!windowShown_) return false;
    if (control == Control::RememberCheckBox) return dialog_ == Dialog::ProxySheet;
    // A modal dialog blocks the window under it.
    if (dialog_ != Dialog::None) return false;
    switch (control) {
        case Control::QuitButton: return quitVisible_ && quitEnabled_;
        case Control::RetryButton: return retryVisible_ && retryEnabled_;
        case Control::CloseBox: return closeBoxEnabled_;
        case Control::Link: return linkVisible_;
        case Control::None:
        case Control::RememberCheckBox: break;
    }
    return false;
}

std::string ScreenModel::removeHotKeyAccelerator(const std::string& text) {
    const auto open = text.find("(&");
    if (open != std::string::npos) {
        const auto close = text.find(')', open + 2);
        if (close != std::string::npos) return text.substr(0, open) + text.substr(close + 1);
    }
    // A bare mark, or "(&" with nothing to close it: the span would be undefined, so every
    // mark goes and the rest stays.
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c != '&') result.push_back(c);
    }
    return result;
}

float ScreenModel::clampPercent(float percent) {
    if (std::isnan(percent)) return 0.0f;
    if (percent < 0.0f) return 0.0f;
    if (percent > 100.0f) return 100.0f;
    return percent;
}

void ScreenModel::showErrorScreen(Screen screen, const std::string& text) {
    screen_ = screen;
    progressBarVisible_ = false;
    errorTextVisible_ = true;
    infoIconVisible_ = true;
    alertIconShown_ = true;
    title_ = texts_.issuesHeading;
    errorText_ = text;
    quitVisible_ = true;
    setQuitEnabled(true);
}

void ScreenModel::setQuitEnabled(bool enabled) {
    quitEnabled_ = enabled;
    // The close box behaves as the quit button, so it follows the button's enabled state.
    closeBoxEnabled_ = enabled;
    if (!enabled && focus_ == Control::QuitButton) focus_ = Control::None;
}

const char* ScreenModel::screenName(Screen screen) {
    switch (screen) {
        case Screen::Progress: return "progress";
        case Screen::Warning: return "warning";
        case Screen::Fatal: return "fatal";
    }
    return "?";
}

const char* ScreenModel::dialogName(Dialog dialog) {
    switch (dialog) {
        case Dialog::None: return "none";
        case Dialog::ProxySheet: return "sheet";
        case Dialog::QuitQuestion: return "question";
    }
    return "?";
}

const char* ScreenModel::controlName(Control control) {
    switch (control) {
        case Control::None: return "none";
        case Control::QuitButton: return "quit";
        case Control::RetryButton: return "retry";
        case Control::CloseBox: return "close";
        case Control::Link: return "link";
        case Control::RememberCheckBox: return "remember";
    }
    return "?";
}

namespace {

class JsonObject {
public:
    void field(const char* name, const std::string& value) {
        key(name);
        out_ += jsonQuoted(value);
    }
    void field(const char* name, const char* value) { field(name, std::string(value)); }
    void field(const char* name, bool value) {
        key(name);
        out_ += value ? "true" : "false";
    }
    void field(const char* name, double value) {
        key(name);
        char text[32];
        std::snprintf(text, sizeof text, "%.6g", value);
        out_ += text;
    }
    void field(const char* name, std::size_t value) {
        key(name);
        out_ += std::to_string(value);
    }
    std::string finish() { return out_ + "}"; }

private:
    void key(const char* name) {
        out_ += out_.size() > 1 ? "," : "";
        out_ += jsonQuoted(name);
        out_.push_back(':');
    }
    std::string out_ = "{";
};

}  // namespace

std::string ScreenModel::toJson() const {
    JsonObject json;
    json.field("shown", windowShown_);
    json.field("screen", screenName(screen_));
    json.field("title", title_);
    json.field("percent", static_cast<double>(percent_));
    json.field("progressBar", progressBarVisible_);
    json.field("errorTextVisible", errorTextVisible_);
    json.field("errorText", errorText_);
    json.field("infoIcon", infoIconVisible_);
    json.field("alertIcon", alertIconShown_);
    json.field("retryVisible", retryVisible_);
    json.field("retryEnabled", retryEnabled_);
    json.field("retryText", retryText_);
    json.field("quitVisible", quitVisible_);
    json.field("quitEnabled", quitEnabled_);
    json.field("closeBox", closeBoxEnabled_);
    json.field("link", linkVisible_);
    json.field("focus", controlName(focus_));
    json.field("dialog", dialogName(dialog_));
    json.field("sheetUserLength", sheetUser_.size());
    json.field("sheetPasswordLength", sheetPassword_.size());
    json.field("remember", rememberChecked_);
    return json.finish();
}

// What the window shows, without a toolkit: every screen rule lives here, and a window mirrors it.
#pragma once

#include <string>

#include "bootstrapper/ui/WindowTexts.h"

// A window applies each call of IBootstrapWindow to its model (the `apply...` method of the same
// name), then makes its widgets show the model. Input goes the other way: a window asks
// `acceptsClick` before it posts a code, and records what the user typed into the sheet.
class ScreenModel {
public:
    enum class Screen { Progress, Warning, Fatal };
    enum class Dialog { None, ProxySheet, QuitQuestion };
    enum class Control { None, QuitButton, RetryButton, CloseBox, Link, RememberCheckBox };

    // As the window is left before the worker starts: the progress screen at 2 % with the first
    // title, retry and link hidden, quit shown and enabled, the close box disabled.
    explicit ScreenModel(WindowTexts texts = WindowTexts::defaults());

    // One per call of IBootstrapWindow.
    void applyCloseUI();
    void applyEnableQuitButton(bool enabled);
    void applyUpdateProgressTitle(const std::string& text);
    void applyShowFatalErrorScreen(const std::string& text, bool showLink, bool focusSecondButton);
    void applyShowWarningErrorScreen(const std::string& text, bool showRetry);
    void applyShowProgressScreen(const std::string& title, bool quitEnabled);
    void applyUpdateProgressPercent(float percent);
    void applyShowButton2(bool show);
    void applySetButton2Text(const std::string& text);
    // The blocking calls open their dialog; the window closes it once it is answered or dismissed.
    void applyShowQuitConfirmation();
    void applyShowProxyDialog(const std::string& title, const std::string& userLabel,
                              const std::string& passwordLabel);
    void closeDialog();

    // The sheet's fields and check box, kept between showings.
    void setSheetFields(const std::string& user, const std::string& password);
    void setRememberChecked(bool checked);

    // Whether a click on the control may post its code now: not once the window closed; quit and
    // retry only when shown and enabled, the close box only when enabled, and none of these while
    // a dialog is up; the check box only while the sheet is up.
    bool acceptsClick(Control control) const;

    // Button titles lose their accelerator: "(&" up to the first ")" after it; when no ")"
    // follows, or there is no "(&", every "&".
    static std::string removeHotKeyAccelerator(const std::string& text);
    // The bar's value for any input: clamped to 0..100, NaN gives 0.
    static float clampPercent(float percent);

    const WindowTexts& texts() const { return texts_; }
    bool windowShown() const { return windowShown_; }
    Screen screen() const { return screen_; }
    const std::string& title() const { return title_; }       // the label above the bar or error
    float percent() const { return percent_; }
    bool progressBarVisible() const { return progressBarVisible_; }
    bool errorTextVisible() const { return errorTextVisible_; }
    const std::string& errorText() const { return errorText_; }
    bool infoIconVisible() const { return infoIconVisible_; }
    bool alertIconShown() const { return alertIconShown_; }
    bool retryVisible() const { return retryVisible_; }
    bool retryEnabled() const { return retryEnabled_; }
    const std::string& retryText() const { return retryText_; }
    bool quitVisible() const { return quitVisible_; }
    bool quitEnabled() const { return quitEnabled_; }
    bool closeBoxEnabled() const { return closeBoxEnabled_; }
    bool linkVisible() const { return linkVisible_; }
    Control focus() const { return focus_; }
    Dialog dialog() const { return dialog_; }
    const std::string& sheetUser() const { return sheetUser_; }
    const std::string& sheetPassword() const { return sheetPassword_; }
    bool rememberChecked() const { return rememberChecked_; }

    // One JSON object of the shown state for traces; the sheet's fields appear only as lengths.
    std::string toJson() const;
    static const char* screenName(Screen screen);
    static const char* dialogName(Dialog dialog);
    static const char* controlName(Control control);

    bool operator==(const ScreenModel&) const = default;

private:
    void showErrorScreen(Screen screen, const std::string& text);
    void setQuitEnabled(bool enabled);

    WindowTexts texts_;
    bool windowShown_ = true;
    Screen screen_ = Screen::Progress;
    std::string title_;
    float percent_ = 2.0f;
    bool progressBarVisible_ = true;
    bool errorTextVisible_ = false;
    std::string errorText_;
    bool infoIconVisible_ = false;
    bool alertIconShown_ = false;
    bool retryVisible_ = false;
    bool retryEnabled_ = true;
    std::string retryText_;
    bool quitVisible_ = true;
    bool quitEnabled_ = true;
    bool closeBoxEnabled_ = false;
    bool linkVisible_ = false;
    Control focus_ = Control::None;
    Dialog dialog_ = Dialog::None;
    std::string sheetUser_;
    std::string sheetPassword_;
    bool rememberChecked_ = false;
};

// The GTK window's trace: one JSON line per applied call and per input outcome (BOOTSTRAP_UI_TRACE).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// BOOTSTRAP_UI_TRACE=FILE appends one JSON object per line to FILE, each written with one
// write(2) on an O_APPEND descriptor, so a reader never sees half a line. Unset or empty: no
// trace at all. Tools and tests wait on these lines instead of sleeping.
//
// Every line holds "seq" (1, 2, 3... over all lines of a process) and "event". The events:
//
// "call": one window call was applied and changed the screen model. Written after the frame that
//   shows it was painted (after the paint of the window it concerns; at once when that window is
//   hidden or gone).
//     "call"      one of closeUI, enableQuitButton, updateProgressTitle, showFatalErrorScreen,
//                 showWarningErrorScreen, showProgressScreen, updateProgressPercent, showButton2,
//                 setButton2Text, showQuitConfirmation, showProxyDialog, initZorUI
//     "args"      the call's arguments by name (texts as shown; the sheet's three labels too)
//     "model"     the screen model after the call (ScreenModel::toJson: screen, title, percent,
//                 retryVisible, closeBox, focus, dialog, remember...; entries only as lengths)
//     "windows"   {"main":XID,"sheet":XID,"question":XID}, decimal X window ids, 0 when not realised
//     "shown"     {"main":bool,"sheet":bool,"question":bool}, mapped on screen
//     "scale"     the main window's scale factor (GDK_SCALE)
//     "rects"     {"<outlet>":[x,y,width,height] or null when hidden} in root-window device pixels,
//                 for pctLabel, errorMessageLabel, infoIcon, progressBar, quitButton, retryButton,
//                 zsaHyperlink, alertIcon, authDialogErrorLabel, authDialogUsernameLabel,
//                 authDialogPasswordLabel, rememberCredentialsCheckBox, authDialogUsernameText,
//                 authDialogPasswordText, authDialogCancelButton, authDialogSubmitButton,
//                 questionYesButton, questionNoButton
//     "labels"    what the widgets show: quitButton, retryButton, authDialogSubmitButton,
//                 authDialogCancelButton, questionYesButton, questionNoButton (titles), pctLabel
//     "icon"      "Warning16x16", "Warning32x32" or null: the image the alert icon holds
//     "captures"  absolute paths of the PNGs of BOOTSTRAP_UI_SCREENSHOTS taken for this call
//                 ([] when none): "<folder>/<seq, 4 digits>-<call>-<main|sheet|question>.png",
//                 one per mapped window, drawn in the process (gtk_widget_draw, device scale kept).
//                 Taken when the call changed more than the percent, or moved it into another
//                 tenth (0-9, 10-19, ...)
//   A call that changed nothing writes no line.
// "click":  {"control":"quit"|"retry","code":2|5} posted, or "ignored":true with no code
// "close":  {"window":"main","outcome":"honoured"|"ignored","code":2 when honoured}; a close
//           request that GTK drops under a modal dialog never reaches the window: no line
// "toggle": {"control":"remember","active":bool}, posted to the mediator
// "dialog": {"dialog":"sheet"|"question","outcome":"shown"} once it is mapped, then
//           {"dialog":...,"outcome":"answered","answer":"continue"|"cancel"|"yes"|"no",
//            "how":"button"|"escape"|"window-manager","code":3|4|6|7}; Enter counts as the
//           default button ("button")
// "link":   {"address":"..."} the support link was activated and handed to the opener
// "host":   {"what":"loop-started"} when the main loop runs (usually before initZorUI's line,
//           which waits for the first frame), {"what":"loop-ended","reason":"closeUI"|"signal"|
//           "destroyed"|"start-failed"|"loop-quit","signal":N} when it returns, and
//           {"what":"shutdown-done"} after the join
//
// The sheet opens with the focus in authDialogUsernameText; the question with it on Yes.
//
// Never traced: what the user typed into the sheet's entries.
class UiTrace {
public:
    // Opens path for appending; ok() tells whether it could.
    explicit UiTrace(const std::string& path);
    ~UiTrace();
    UiTrace(const UiTrace&) = delete;
    UiTrace& operator=(const UiTrace&) = delete;

    // From BOOTSTRAP_UI_TRACE; nullptr when unset, empty or not writable.
    static std::unique_ptr<UiTrace> fromEnvironment();

    bool ok() const { return fd_ >= 0; }
    // The number the next line will carry (capture files are named after it).
    std::uint64_t nextSequence() const { return nextSequence_; }
    // Writes {"seq":N,"event":"<event>"<,fields>} and a line break; fields is a JSON object's
    // members without braces, or empty.
    void write(const std::string& event, const std::string& fields);

    // A JSON string literal for text, quotes included.
    static std::string quote(const std::string& text);

private:
    int fd_ = -1;
    std::uint64_t nextSequence_ = 1;
};

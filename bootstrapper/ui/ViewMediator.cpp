// The view mediator: setters store the user's answers, forwarders reach the window if there is one.
#include "bootstrapper/ui/ViewMediator.h"

#include "bootstrapper/ui/IBootstrapWindow.h"
#include "bootstrapper/ui/UserActionSink.h"
#include "bootstrapper/ui/WindowTexts.h"
#include "bootstrapper/ui/ZORViewHandles.h"

namespace {

IBootstrapWindow* controllerOf(ZORViewHandles* viewHandles) {
    return viewHandles == nullptr ? nullptr : viewHandles->controller;
}

}  // namespace

void ViewMediator::quit() {
    if (session_ != nullptr) session_->quit();
}

void ViewMediator::submitCredentials(const std::string& user, const std::string& password) {
    if (session_ != nullptr) session_->submitCredentials(user, password);
}

void ViewMediator::cancelCredentials() {
    if (session_ != nullptr) session_->cancelCredentials();
}

void ViewMediator::retry() {
    if (session_ != nullptr) session_->retry();
}

void ViewMediator::confirmQuit() {
    if (session_ != nullptr) session_->confirmQuit();
}

void ViewMediator::rejectQuit() {
    if (session_ != nullptr) session_->rejectQuit();
}

void ViewMediator::setRememberCredentials(bool remember) {
    if (session_ != nullptr) session_->setRememberCredentials(remember);
}

void ViewMediator::closeUI() {
    if (auto* window = controllerOf(viewHandles_)) window->closeUI();
}

void ViewMediator::enableQuitButton(bool enabled) {
    if (auto* window = controllerOf(viewHandles_)) window->enableQuitButton(enabled);
}

void ViewMediator::showQuitConfirmation() {
    if (auto* window = controllerOf(viewHandles_)) window->showQuitConfirmation();
}

void ViewMediator::updateProgressTitle(const std::string& text) {
    if (auto* window = controllerOf(viewHandles_)) window->updateProgressTitle(text);
}

void ViewMediator::showFatalErrorScreen(const std::string& text, bool showLink) {
    if (auto* window = controllerOf(viewHandles_)) window->showFatalErrorScreen(text, showLink, getButton2Mode() == 1);
}

void ViewMediator::showWarningErrorScreen(const std::string& text, bool showRetry) {
    if (auto* window = controllerOf(viewHandles_)) window->showWarningErrorScreen(text, showRetry);
}

void ViewMediator::showProgressScreen(const std::string& title, bool quitEnabled) {
    if (auto* window = controllerOf(viewHandles_)) window->showProgressScreen(title, quitEnabled);
}

void ViewMediator::updateProgressPercent(float percent) {
    if (auto* window = controllerOf(viewHandles_)) window->updateProgressPercent(percent);
}

void ViewMediator::showProxyDialog(const std::string& title, const std::string& userLabel,
                                   const std::string& passwordLabel) {
    if (auto* window = controllerOf(viewHandles_)) window->showProxyDialog(title, userLabel, passwordLabel);
}

void ViewMediator::showButton2(bool show) {
    if (auto* window = controllerOf(viewHandles_)) window->showButton2(show);
}

void ViewMediator::setButton2Mode(int32_t mode) {
    if (viewHandles_ == nullptr) return;
    viewHandles_->button2Mode.store(mode);
    if (mode != 1) return;
    if (auto* window = controllerOf(viewHandles_)) window->setButton2Text(WindowTexts::lookUp(utils_, kDownloadButtonKey));
}

int32_t ViewMediator::getButton2Mode() const {
    return viewHandles_ == nullptr ? 0 : viewHandles_->button2Mode.load();
}

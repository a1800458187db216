// Proxy snapshots for the engine's requests.
#include "download/ProxySettingsHolder.h"

#include "download/EngineResults.h"

void ProxyManager::obtainProxySettings() {
    auto fresh = platform::ProxySettings::fromEnvironment();
    MutexLock hold(mutex_);
    settings_ = std::move(fresh);
}

std::shared_ptr<const platform::ProxySettings> ProxyManager::gProxyDict() {
    MutexLock hold(mutex_);
    return settings_;
}

bool ProxySettingsHolder::init(const DownloadSessionPreference* preference, DownloadErrorInfo& error) {
    if (preference == nullptr) {
        error.errorType = flat(EngineErrorCode::InvalidInput);
        error.retryable = 1;
        error.message = "Input preference is null";
        return false;
    }
    auto manager = std::make_shared<ProxyManager>();
    MutexLock hold(mutex_);
    preference_ = preference;
    manager_ = std::move(manager);
    return true;
}

void ProxySettingsHolder::reset() {
    auto manager = std::make_shared<ProxyManager>();
    MutexLock hold(mutex_);
    manager_ = std::move(manager);
}

std::shared_ptr<ProxyManager> ProxySettingsHolder::getProxyManager() {
    MutexLock hold(mutex_);
    return manager_;
}

void ProxySettingsHolder::release() {
    MutexLock hold(mutex_);
    manager_.reset();
}

std::shared_ptr<const platform::ProxySettings> ProxySettingsHolder::currentSettings() {
    std::shared_ptr<ProxyManager> manager = getProxyManager();
    return manager ? manager->gProxyDict() : nullptr;
}

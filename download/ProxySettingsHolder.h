// The engine's view of the system proxy configuration: immutable snapshots swapped under a lock.
#pragma once

#include <memory>

#include "download/DownloadErrorInfo.h"
#include "download/DownloadPreference.h"
#include "download/Mutex.h"
#include "platform/ProxySettings.h"

// Keeps the current proxy snapshot. Readers take a copy of the pointer per request, so a
// refresh never frees a configuration that a worker is still setting up a request with.
class ProxyManager {
public:
    ProxyManager() { obtainProxySettings(); }
    ProxyManager(const ProxyManager&) = delete;
    ProxyManager& operator=(const ProxyManager&) = delete;

    void obtainProxySettings() EXCLUDES(mutex_);
    void proxyHasChanged() { obtainProxySettings(); }
    std::shared_ptr<const platform::ProxySettings> gProxyDict() EXCLUDES(mutex_);

private:
    Mutex mutex_;
    std::shared_ptr<const platform::ProxySettings> settings_ GUARDED_BY(mutex_);
};

class ProxySettingsHolder {
public:
    ProxySettingsHolder() = default;
    ProxySettingsHolder(const ProxySettingsHolder&) = delete;
    ProxySettingsHolder& operator=(const ProxySettingsHolder&) = delete;

    bool init(const DownloadSessionPreference* preference, DownloadErrorInfo& error) EXCLUDES(mutex_);
    // A fresh snapshot of the environment (the engine takes one when a paused download resumes).
    void reset() EXCLUDES(mutex_);
    std::shared_ptr<ProxyManager> getProxyManager() EXCLUDES(mutex_);
    void release() EXCLUDES(mutex_);
    // The snapshot in force, or null when there is no manager (then no proxy is used).
    std::shared_ptr<const platform::ProxySettings> currentSettings() EXCLUDES(mutex_);

private:
    Mutex mutex_;
    std::shared_ptr<ProxyManager> manager_ GUARDED_BY(mutex_);
    const DownloadSessionPreference* preference_ GUARDED_BY(mutex_) = nullptr;
};

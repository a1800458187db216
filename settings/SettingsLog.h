// Log lines of the settings store, sent through the process-wide log facade.
#pragma once

#include "foundation/logging/LogFacade.h"

#define VOR_LOG(level, component, ...) Logger::getInstance()->level(component, __VA_ARGS__)
#define VOR_TRACE(component, ...) VOR_LOG(logTrace, component, __VA_ARGS__)
#define VOR_DEBUG(component, ...) VOR_LOG(logDebug, component, __VA_ARGS__)
#define VOR_INFO(component, ...) VOR_LOG(logInfo, component, __VA_ARGS__)
#define VOR_WARN(component, ...) VOR_LOG(logWarn, component, __VA_ARGS__)
#define VOR_ERROR(component, ...) VOR_LOG(logError, component, __VA_ARGS__)
#define VOR_SET_LOG_LEVEL(level, name) Logger::getInstance()->setLogLevel(level, name, nullptr)

// Log lines of the settings store, sent through the process-wide log facade.
#pragma once

#if __has_include("foundation/logging/LogFacade.h")
#include "foundation/logging/LogFacade.h"
#define VOR_LOG(level, component, ...) Logger::getInstance()->level(component, __VA_ARGS__)
#else
#define VOR_LOG(level, component, ...) ((void)(component))
#endif

#define VOR_TRACE(component, ...) VOR_LOG(logTrace, component, __VA_ARGS__)
#define VOR_DEBUG(component, ...) VOR_LOG(logDebug, component, __VA_ARGS__)
#define VOR_INFO(component, ...) VOR_LOG(logInfo, component, __VA_ARGS__)
#define VOR_WARN(component, ...) VOR_LOG(logWarn, component, __VA_ARGS__)
#define VOR_ERROR(component, ...) VOR_LOG(logError, component, __VA_ARGS__)

#if __has_include("foundation/logging/LogFacade.h")
#define VOR_SET_LOG_LEVEL(level, name) Logger::getInstance()->setLogLevel(level, name, nullptr)
#else
#define VOR_SET_LOG_LEVEL(level, name) ((void)(level), (void)(name))
#endif

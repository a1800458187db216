// The engine's named results: every name against its flat number, both ways, and nothing else named.
#include "download/EngineResults.h"

#include "tests/support/FlatMappingCheck.h"

namespace {

using test_support::expectExactFlatMapping;

TEST(EngineResults, ErrorTypesMapBothWays) {
    using T = EngineErrorType;
    expectExactFlatMapping<T>({{T::None, 0},
                               {T::FileSystem, 1},
                               {T::AccessDenied, 2},
                               {T::DiskFull, 3},
                               {T::FileChanged, 4},
                               {T::Fatal, 5},
                               {T::BadUrl, 6},
                               {T::ServerUnreachable, 7},
                               {T::ConnectionError, 8},
                               {T::Timeout, 9},
                               {T::Authentication, 10},
                               {T::ProxyAuthentication, 11},
                               {T::ServerBusy, 12},
                               {T::BackOff, 13},
                               {T::Intermittent, 14},
                               {T::RedirectLoop, 15},
                               {T::DeadConnections, 16},
                               {T::Unknown, 17},
                               {T::SegmentValidation, 18},
                               {T::NotInitialized, 19}},
                              engineErrorTypeFromFlat);
}

TEST(EngineResults, ClientErrorCodesMapBothWays) {
    using C = EngineErrorCode;
    expectExactFlatMapping<C>({{C::None, 0},
                               {C::BadUrl, -4},
                               {C::Authentication, -7},
                               {C::ProxyAuthentication, -8},
                               {C::JobCreationFailed, -9},
                               {C::InvalidInput, -10},
                               {C::RangesUnsupported, -15},
                               {C::AccessDenied, -20},
                               {C::DiskFull, -30},
                               {C::Fatal, -40},
                               {C::ConnectionError, -45},
                               {C::ServerUnreachable, -50},
                               {C::FileChanged, -55},
                               {C::SegmentValidation, -60},
                               {C::FileSystem, -70},
                               {C::InvalidPath, -80},
                               {C::TargetExists, -100}},
                              engineErrorCodeFromFlat);
}

TEST(EngineResults, ErrorActionsMapBothWays) {
    using A = EngineErrorAction;
    expectExactFlatMapping<A>({{A::UserActionable, 0},
                               {A::Retry, 1},
                               {A::Fatal, 2},
                               {A::FatalClean, 3},
                               {A::FileChanged, 4},
                               {A::RetryLater, 5},
                               {A::RetryLimit, 6},
                               {A::None, 7}},
                              engineErrorActionFromFlat);
}

TEST(EngineResults, ManagerResultsMapBothWays) {
    using R = ManagerResult;
    expectExactFlatMapping<R>({{R::Ok, 0},
                               {R::Failed, -1},
                               {R::OperationFailed, -2},
                               {R::InvalidArgument, -3},
                               {R::NotInitialized, -4},
                               {R::FileChanged, -999},
                               {R::NothingToDo, 10},
                               {R::Running, 20},
                               {R::AlreadyInitialized, 30}},
                              managerResultFromFlat);
}

}  // namespace

// The error policy: per-type classification, retry limits, back-off delays and segment rejections.
#include "download/ErrorHandler.h"

#include <gtest/gtest.h>

namespace {

ErrorRecord recordOf(int32_t type, int32_t code = 0, int32_t retryAfter = 0, uint32_t segment = 0) {
    ErrorRecord record;
    record.errorType = type;
    record.nativeCode = code;
    record.retryAfterSeconds = retryAfter;
    record.message = "m";
    record.segmentIndex = segment;
    return record;
}

TEST(ErrorHandlerTest, EachTypeGetsItsCodeRetryableFlagAndAction) {
    struct Case {
        int32_t type;
        int32_t engineCode;
        uint8_t retryable;
        int32_t action;
    };
    const Case cases[] = {
        {0, 0, 1, 7},    {2, -20, 1, 0},  {3, -30, 1, 0},  {4, -40, 0, 2},  {5, -40, 0, 2},
        {6, -4, 0, 2},   {7, -50, 1, 1},  {8, -45, 1, 1},  {9, -45, 1, 1},  {10, -7, 0, 2},
        {11, -8, 1, 0},  {12, -40, 1, 1}, {13, -40, 1, 5}, {14, -40, 1, 1}, {15, -40, 0, 2},
        {16, -45, 1, 0}, {17, -40, 0, 2}, {18, -60, 1, 1}, {19, -40, 0, 2}, {42, -40, 0, 2},
    };
    for (const Case& c : cases) {
        ErrorHandler handler;
        EXPECT_EQ(handler.handleError(recordOf(c.type, 77)), c.action) << "type " << c.type;
        DownloadErrorInfo info;
        handler.getErrorInfo(info);
        EXPECT_EQ(info.errorType, c.engineCode) << "type " << c.type;
        EXPECT_EQ(info.retryable, c.retryable) << "type " << c.type;
        EXPECT_EQ(info.action, c.action) << "type " << c.type;
        EXPECT_EQ(info.extendedErrorCode, 77) << "type " << c.type;
        EXPECT_EQ(info.message, "m") << "type " << c.type;
    }
}

TEST(ErrorHandlerTest, IntermittentTypesRetryTwelveTimesThenStartANewSeries) {
    for (const int32_t type : {8, 9, 12, 14}) {
        ErrorHandler handler;
        for (int i = 1; i <= 12; ++i) {
            ASSERT_EQ(handler.handleError(recordOf(type)), 1) << "type " << type << " error " << i;
        }
        EXPECT_EQ(handler.handleError(recordOf(type)), 0) << "type " << type;
        // The count restarted, so the next error opens a new series of retries.
        EXPECT_EQ(handler.handleError(recordOf(type)), 1) << "type " << type;
    }
}

TEST(ErrorHandlerTest, ProgressDropsIntermittentCountsButNotUnreachableOrBackOff) {
    ErrorHandler handler;
    for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(handler.handleError(recordOf(9)), 1) << round;
        handler.resetIntermittentErrors();
    }
    handler.handleError(recordOf(7));
    handler.handleError(recordOf(13));
    handler.resetIntermittentErrors();
    EXPECT_EQ(handler.retryCountFor(7), 1);
    EXPECT_EQ(handler.retryCountFor(13), 1);
    EXPECT_EQ(handler.retryCountFor(9), 0);
}

TEST(ErrorHandlerTest, UnreachableServerStaysUserActionableUntilCountsAreCleared) {
    ErrorHandler handler;
    for (int i = 1; i <= 12; ++i) {
        ASSERT_EQ(handler.handleError(recordOf(7)), 1);
    }
    EXPECT_EQ(handler.handleError(recordOf(7)), 0);
    EXPECT_EQ(handler.handleError(recordOf(7)), 0);
    handler.clearRetryCounts();
    EXPECT_EQ(handler.handleError(recordOf(7)), 1);
}

TEST(ErrorHandlerTest, BackOffWaitsARandomisedDelayOrTheServersLongerOne) {
    for (int trial = 0; trial < 20; ++trial) {
        ErrorHandler handler;
        DownloadErrorInfo info;
        ASSERT_EQ(handler.handleError(recordOf(13)), 5);
        handler.getErrorInfo(info);
        EXPECT_GE(info.retryDelaySeconds, 10);
        EXPECT_LE(info.retryDelaySeconds, 14);
        ASSERT_EQ(handler.handleError(recordOf(13)), 5);
        handler.getErrorInfo(info);
        EXPECT_GE(info.retryDelaySeconds, 30);
        EXPECT_LE(info.retryDelaySeconds, 39);
        EXPECT_EQ(handler.handleError(recordOf(13)), 0);
        // The series starts again; a server asking for longer wins.
        ASSERT_EQ(handler.handleError(recordOf(13, 503, 50)), 5);
        handler.getErrorInfo(info);
        EXPECT_EQ(info.retryDelaySeconds, 50);
    }
}

TEST(ErrorHandlerTest, EleventhRejectionOfOneSegmentEndsTheDownload) {
    ErrorHandler handler;
    for (int i = 1; i <= 10; ++i) {
        ASSERT_EQ(handler.handleError(recordOf(18, 417, 0, 3)), 1);
        // Rejections of another segment are counted apart.
        ASSERT_EQ(handler.handleError(recordOf(18, 417, 0, 4)), 1);
    }
    EXPECT_EQ(handler.handleError(recordOf(18, 417, 0, 3)), 2);
    DownloadErrorInfo info;
    handler.getErrorInfo(info);
    EXPECT_EQ(info.errorType, -60);
    EXPECT_EQ(handler.handleError(recordOf(18, 417, 0, 3)), 1);  // its count restarted
    EXPECT_EQ(handler.handleError(recordOf(18, 417, 0, 4)), 2);
}

TEST(ErrorHandlerTest, FileSystemRecordsAreMappedWithoutAPath) {
    struct Case {
        int32_t nativeCode;
        int32_t engineCode;
        uint8_t retryable;
        const char* message;
    };
    const Case cases[] = {
        {13, -20, 1, "Access is denied to read or write the file (or directory) at the given location: "},
        {513, -20, 1, "Access is denied to read or write the file (or directory) at the given location: "},
        {514, -80, 1, "The path used is invalid or unavailable and hence operation is not permitted at this path:"},
        {10020, -30, 1, "The disk is full to create file at:"},
        {10030, -70, 0, "There is some error in handling the file system."},
    };
    for (const Case& c : cases) {
        ErrorHandler handler;
        EXPECT_EQ(handler.handleError(recordOf(1, c.nativeCode)), 0);
        DownloadErrorInfo info;
        handler.getErrorInfo(info);
        EXPECT_EQ(info.errorType, c.engineCode) << c.nativeCode;
        EXPECT_EQ(info.retryable, c.retryable) << c.nativeCode;
        EXPECT_EQ(info.message, c.message) << c.nativeCode;
    }
    DownloadErrorInfo withPath;
    ErrorHandler::mapFileSystemError(10020, withPath, "/x/y");
    EXPECT_EQ(withPath.message, "The disk is full to create file at:/x/y");
    ErrorHandler::mapFileSystemError(99, withPath, "/x/y");
    EXPECT_EQ(withPath.message, "There is some error in handling the file system.");
}

TEST(ErrorHandlerTest, OnlyTheUnrecoverableTypesAreFatalForJobs) {
    for (int32_t type = 0; type < 25; ++type) {
        const bool expected = type == 4 || type == 5 || type == 6 || type == 10;
        EXPECT_EQ(ErrorHandler::isFatalErrorType(type), expected) << type;
    }
}

}  // namespace

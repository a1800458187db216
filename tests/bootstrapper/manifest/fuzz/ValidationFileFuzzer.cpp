// libFuzzer target: any bytes as a validation file; what the reader takes must write back and read again the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "bootstrapper/manifest/ValidatorFactory.h"
#include "tests/support/FuzzEnvironment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = test_support::writeFuzzInput("validation.xml", data, size);
    static ValidatorFactory* factory = new ValidatorFactory();
    std::unique_ptr<ValidatorBase> validator = factory->create(path);
    if (!validator) return 0;

    const auto& signatures = validator->getSignatures();
    test_support::fuzzCheck(
        !signatures.empty() && signatures.begin()->first == 0 && signatures.rbegin()->first == signatures.size() - 1,
        "the segments run from 0 without a hole");
    test_support::fuzzCheck(validator->getSegmentSize() > 0 && validator->getLastSegmentSize() > 0 &&
                                validator->getLastSegmentSize() <= validator->getSegmentSize(),
                            "the last segment is no larger than the others");
    // The input's own bytes as segment 0: checked, never trusted blindly.
    validator->validateSegment(data, static_cast<uint32_t>(size), 0);

    const std::string again = test_support::fuzzEnvironment().base() + "/validation-rewritten.xml";
    std::remove(again.c_str());
    test_support::fuzzCheck(validator->writeXML(again), "an accepted validation file writes back");
    std::unique_ptr<ValidatorBase> reread = factory->create(again);
    test_support::fuzzCheck(reread != nullptr, "a written validation file reads again");
    test_support::fuzzCheck(reread->getSignatures() == signatures, "the signatures survive a rewrite");
    test_support::fuzzCheck(reread->getSegmentSize() == validator->getSegmentSize() &&
                                reread->getLastSegmentSize() == validator->getLastSegmentSize() &&
                                reread->getTotalSize() == validator->getTotalSize() &&
                                reread->getAlgorithm() == validator->getAlgorithm(),
                            "the sizes and the algorithm survive a rewrite");
    return 0;
}

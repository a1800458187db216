// ZAMEEVersionComparator: the base of the version comparators; it only gives a virtual destructor.
#pragma once

class ZAMEEVersionComparator {
public:
    ZAMEEVersionComparator() = default;
    virtual ~ZAMEEVersionComparator() = default;
    ZAMEEVersionComparator(const ZAMEEVersionComparator&) = delete;
    ZAMEEVersionComparator& operator=(const ZAMEEVersionComparator&) = delete;
};

// The engine's process-wide test seams: injected failures that real runs meet only by bad luck.
#pragma once

namespace engine::testing {

// The next `count` hand-overs of a segment to the serializer, after the first `skip`, fail as
// an allocation failure would (DownloadGlobalData::createAndAddSerializationJob).
void failHandOvers(int skip, int count);

// The next `count` segment-buffer allocations after the first `skip` fail as if memory had run out.
void failAllocations(int skip, int count);

// The next `count` writes of every FileHandler fail with errorNumber.
void injectWriteFailures(int errorNumber, int count);

}  // namespace engine::testing

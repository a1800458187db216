// BinaryAsset: nothing to extract and nothing to clean up.
#include "bootstrapper/manifest/BinaryAsset.h"

BinaryAsset::BinaryAsset() : AssetBase(kBinaryAssetType, "Asset") {}

BinaryAsset::~BinaryAsset() = default;

// BinaryAsset: a plain file, left where it was downloaded when the asset goes.
#pragma once

#include "bootstrapper/manifest/AssetBase.h"

class BinaryAsset : public AssetBase {
public:
    BinaryAsset();
    ~BinaryAsset() override;
};

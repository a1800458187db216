// ExtractAction: makes a compressed asset's content available (a disk image is mounted).
#pragma once

#include "bootstrapper/manifest/ActionBase.h"

class ExtractAction : public ActionBase {
public:
    ExtractAction();
    ~ExtractAction() override;

    // A missing or plain (binary) asset fails.
    int execute(AssetBase* asset) override;
};

// ExtractAction: hands the extraction to the compressed asset itself.
#include "bootstrapper/manifest/ExtractAction.h"

#include "bootstrapper/manifest/CompressedAssetBase.h"

ExtractAction::ExtractAction() : ActionBase(kExtractActionType, "Action") {}

ExtractAction::~ExtractAction() = default;

int ExtractAction::execute(AssetBase* asset) {
    auto* compressed = dynamic_cast<CompressedAssetBase*>(asset);
    if (compressed == nullptr) return kActionFailed;
    const int extracted = compressed->extract();
    if (extracted == kActionFailed) return kActionFailed;
    if (extracted == kActionInProgress) return kActionInProgress;
    return kActionDone;
}

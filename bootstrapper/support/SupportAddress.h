// The address of the customer-support page that error texts and support links point to.
#pragma once

inline constexpr const char* kSupportAddress = "https://support.zarvo.example/studio-packager";

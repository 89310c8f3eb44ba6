// The outcome of one file in a folder scan.
#pragma once

namespace tarnwell {

enum class ScanResult { uploaded, skipped, deleted, failed };

} // namespace tarnwell

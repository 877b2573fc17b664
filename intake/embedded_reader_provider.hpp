// The embedded provider: runs the outside reader bridge for a drawing and checks the
// evidence it leaves behind. Reached only through make_reader_provider.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "intake/reader_provider.hpp"

namespace vesk {

class EmbeddedReaderProvider final : public DrawingReaderProvider {
public:
    // Reads and checks the provider manifest `source` against the installation under
    // `source_root`; throws on any fault.
    EmbeddedReaderProvider(const std::filesystem::path& source, const std::filesystem::path& source_root);

    std::string_view name() const override { return "embedded-local-pilot"; }
    ReaderResponse read(const ReaderRequest& request) const override;

private:
    std::filesystem::path source_;       // provider manifest, weakly canonical
    std::filesystem::path source_root_;  // installation directory, weakly canonical
    std::filesystem::path python_executable_;
    std::filesystem::path bridge_script_;
    std::string bridge_module_;
    std::filesystem::path runtime_config_;
    std::uint32_t timeout_seconds_ = 10;
};

}  // namespace vesk

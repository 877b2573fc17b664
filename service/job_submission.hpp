// The source image checks of a job submission; the pilot routes' submission body uses them too.
#pragma once

#include <string>
#include <string_view>

namespace vesk {

// Standard base64 with "=" padding, no white space; refusal
// "source_image.data_base64 is not valid base64".
std::string decode_base64(std::string_view text);

// The 8-byte PNG signature; refusal "source_image must contain PNG bytes".
void require_png_signature(std::string_view bytes);

}  // namespace vesk

#include "ShippedDriver.h"

namespace orvex::cli {

std::unique_ptr<hosted::KernelImage> LoadShippedDriver(const std::string& path) {
    std::string error;
    auto image = hosted::KernelImage::Load(path, &error);
    if (!image) throw std::runtime_error("cannot load the driver image " + error);
    return image;
}

}  // namespace orvex::cli

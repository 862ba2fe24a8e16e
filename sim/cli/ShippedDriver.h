// --driver PATH: the shipped ORVEX.sys, loaded into the hosted platform in
// place of the hosted build's driver.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <hosted/kernel_image.h>

namespace orvex::cli {

// Loads the image; throws std::runtime_error with the loader's reason when
// it is refused. The image must outlive every run that uses its entry.
std::unique_ptr<hosted::KernelImage> LoadShippedDriver(const std::string& path);

}  // namespace orvex::cli

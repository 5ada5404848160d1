// The compatibility check between the device and the selected image.
#include "firmware/compatibility.h"

#include "app/console.h"
#include "firmware/image.h"
#include "firmware/model_table.h"

namespace {

// Where the advice after every report sends the user.
constexpr const char* kSupportAddress = "https://www.tolvex.example/support";

// The device's model name for printing: empty when there is none.
const char* DeviceModelName(const DeviceInfo& device)
{
    return device.modelName != nullptr ? device.modelName : "";
}

}  // namespace

int CheckCompatibility(const DeviceInfo& device, const unsigned char* image)
{
    const uint32_t deviceFamily = device.familyCode;
    const uint32_t deviceRevision = device.pcbRevision;
    if (LookupModelName(static_cast<int32_t>(deviceFamily), static_cast<int32_t>(deviceRevision)) == nullptr)
        return kDeviceNotListed;
    const uint32_t imageFamily = ImageFamilyCode(image);
    const uint32_t imageRevision = ImagePcbRevision(image);
    if (LookupModelName(static_cast<int32_t>(imageFamily), static_cast<int32_t>(imageRevision)) == nullptr)
        return kImageNotListed;
    if (deviceFamily != imageFamily)
        return kFamilyMismatch;
    if (deviceRevision != imageRevision)
        return kPcbRevisionMismatch;
    return kCompatible;
}

void ReportIncompatibility(int code, const DeviceInfo& device, const unsigned char* image)
{
    switch (code) {
    case kImageNotListed:
        Print("\nThe firmware file given is for a product not recognize by this program.\n");
        break;
    case kDeviceNotListed: {
        char productName[kProductNameSize + 1];
        CopyProductName(device.productName, productName, static_cast<int>(sizeof productName));
        Print("\nThis program cannot update a \"%s\".", productName);
        break;
    }
    case kFamilyMismatch:
        Print("\nAttempting to update device: \"%.33s\".", DeviceModelName(device));
        Print("\nNew firmware is for device:  \"%.33s\".\n", ImageModelName(image));
        Print("\nIncompatible firmware, device not updated.\n");
        break;
    case kPcbRevisionMismatch:
        Print("\nUnsupported PCB Revision: Rev %u.\n", static_cast<unsigned>(device.pcbRevision));
        Print("This firmware won't work on this version of the %.33s,\ndevice not updated.\n",
              DeviceModelName(device));
        break;
    default:
        return;
    }
    Print("\nPlease check the Tolvex website for the proper firmware for your product,\n"
          "or for a more recent version of this program: %s\n\n",
          kSupportAddress);
}

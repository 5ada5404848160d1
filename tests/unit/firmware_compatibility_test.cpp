// The compatibility check between the device and an image, and the report
// the user sees when they do not fit.
#include "app/console.h"
#include "fake.h"
#include "firmware/compatibility.h"
#include "firmware/image.h"
#include "firmware/model_table.h"
#include "firmware_test_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string kAdvice =
    "\nPlease check the Tolvex website for the proper firmware for your product,\n"
    "or for a more recent version of this program: https://www.tolvex.example/support\n\n";

class Compatibility : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }

    // Fills the one DeviceInfo the way detection does: the model name is
    // the product name when there is one, otherwise the table's name.
    DeviceInfo& Device(uint16_t familyCode, uint16_t pcbRevision, const char* productName = "")
    {
        DeviceInfo& device = gDeviceInfo;
        device.familyCode = familyCode;
        device.pcbRevision = pcbRevision;
        std::memset(device.productName, 0, sizeof device.productName);
        std::strncpy(device.productName, productName, sizeof device.productName);
        device.modelName = device.productName[0] != '\0' ? device.productName
                                                         : LookupModelName(familyCode, pcbRevision);
        return device;
    }

    const unsigned char* builtIn = ImageCatalogue[0];
};

struct CheckCase {
    uint16_t deviceFamily;
    uint16_t deviceRevision;
    uint32_t imageFamily;
    uint32_t imageRevision;
    int result;
};

class CompatibilityCases : public Compatibility, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CompatibilityCases, FirstApplyingTestDecides)
{
    const CheckCase& c = GetParam();
    const firmware_test::TestImage image = firmware_test::MakeImage(c.imageFamily, c.imageRevision, 1, "IMG");
    EXPECT_EQ(CheckCompatibility(Device(c.deviceFamily, c.deviceRevision), image.data()), c.result);
    EXPECT_EQ(fake::Output(), "") << "the check prints nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Codes, CompatibilityCases,
    ::testing::Values(CheckCase{68, 10, 68, 10, kCompatible}, CheckCase{68, 3, 68, 10, kPcbRevisionMismatch},
                      CheckCase{56, 1, 68, 10, kFamilyMismatch},
                      // The device is tested first, even when the image is unlisted too.
                      CheckCase{57, 1, 99, 1, kDeviceNotListed}, CheckCase{68, 17, 68, 10, kDeviceNotListed},
                      CheckCase{0, 0, 0, 0, kDeviceNotListed}, CheckCase{68, 10, 99, 1, kImageNotListed},
                      CheckCase{68, 10, 68, 0, kImageNotListed},
                      // Image fields beyond 16 bits are not cut down to the device's width.
                      CheckCase{68, 10, 0x10044, 10, kImageNotListed},
                      CheckCase{68, 10, 68, 0xFFFFFFFFu, kImageNotListed},
                      CheckCase{67, 8, 68, 10, kFamilyMismatch}, CheckCase{68, 16, 68, 10, kPcbRevisionMismatch}));

TEST_F(Compatibility, BuiltInImageFitsItsOwnProduct)
{
    EXPECT_EQ(CheckCompatibility(Device(68, 10), builtIn), kCompatible);
}

TEST_F(Compatibility, OtherPcbRevisionIsReportedWithTheTablesName)
{
    const DeviceInfo& device = Device(68, 3);
    const int code = CheckCompatibility(device, builtIn);
    ASSERT_EQ(code, kPcbRevisionMismatch);
    ReportIncompatibility(code, device, builtIn);
    EXPECT_EQ(fake::TakeOutput(), "\nUnsupported PCB Revision: Rev 3.\n"
                                  "This firmware won't work on this version of the RK2300,\n"
                                  "device not updated.\n" +
                                      kAdvice);
}

TEST_F(Compatibility, OtherFamilyIsReportedWithTheDevicesOwnProductName)
{
    const DeviceInfo& device = Device(56, 1, "RKM510");
    const int code = CheckCompatibility(device, builtIn);
    ASSERT_EQ(code, kFamilyMismatch);
    ReportIncompatibility(code, device, builtIn);
    EXPECT_EQ(fake::TakeOutput(), "\nAttempting to update device: \"RKM510\"."
                                  "\nNew firmware is for device:  \"VEL2346\".\n"
                                  "\nIncompatible firmware, device not updated.\n" +
                                      kAdvice);
}

TEST_F(Compatibility, UnlistedDeviceIsReportedWithItsProductName)
{
    ReportIncompatibility(kDeviceNotListed, Device(57, 1, "XR-9"), builtIn);
    EXPECT_EQ(fake::TakeOutput(), "\nThis program cannot update a \"XR-9\"." + kAdvice);
    ReportIncompatibility(kDeviceNotListed, Device(57, 1), builtIn);
    EXPECT_EQ(fake::TakeOutput(), "\nThis program cannot update a \"\"." + kAdvice);
}

TEST_F(Compatibility, UnlistedImageIsReported)
{
    ReportIncompatibility(kImageNotListed, Device(68, 10), builtIn);
    EXPECT_EQ(fake::TakeOutput(),
              "\nThe firmware file given is for a product not recognize by this program.\n" + kAdvice);
}

TEST_F(Compatibility, ProductNameWithoutNulIsPrintedAtItsFullSizeOnly)
{
    // A record whose product name fills all its bytes, followed by bytes
    // that are not NUL either: none of them may be printed.
    struct {
        DeviceInfo device;
        char after[16];
    } memory;
    std::memset(&memory, 'Z', sizeof memory);
    DeviceInfo& device = memory.device;
    const std::string full(kProductNameSize, 'Q');
    std::memcpy(device.productName, full.data(), kProductNameSize);
    device.modelName = device.productName;
    device.familyCode = 57;
    device.pcbRevision = 1;
    ReportIncompatibility(kDeviceNotListed, device, builtIn);
    EXPECT_EQ(fake::TakeOutput(), "\nThis program cannot update a \"" + full + "\"." + kAdvice);

    device.familyCode = 56;
    ReportIncompatibility(kFamilyMismatch, device, builtIn);
    EXPECT_EQ(fake::TakeOutput(), "\nAttempting to update device: \"" + full + "\"."
                                  "\nNew firmware is for device:  \"VEL2346\".\n"
                                  "\nIncompatible firmware, device not updated.\n" +
                                      kAdvice);
    ReportIncompatibility(kPcbRevisionMismatch, device, builtIn);
    EXPECT_EQ(fake::TakeOutput(), "\nUnsupported PCB Revision: Rev 1.\n"
                                  "This firmware won't work on this version of the " +
                                      full + ",\ndevice not updated.\n" + kAdvice);
}

TEST_F(Compatibility, CodesWithoutAReportPrintNothing)
{
    ReportIncompatibility(kCompatible, Device(68, 10), builtIn);
    ReportIncompatibility(5, Device(68, 10), builtIn);
    ReportIncompatibility(-1, Device(68, 10), builtIn);
    EXPECT_EQ(fake::Output(), "");
}

}  // namespace

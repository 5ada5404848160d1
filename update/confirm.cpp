// Version display and confirmation.
#include "update/confirm.h"

#include "app/console.h"
#include "app/program.h"
#include "firmware/image.h"

namespace {

unsigned MajorOf(FirmwareVersion version)
{
    return (version >> 24) & 0xFFu;
}

unsigned MinorOf(FirmwareVersion version)
{
    return (version >> 16) & 0xFFu;
}

unsigned BetaOf(FirmwareVersion version)
{
    return (version >> 8) & 0xFFu;
}

unsigned LetterOf(FirmwareVersion version)
{
    return version & 0xFFu;
}

const char* DeviceModelName(const DeviceInfo& device)
{
    return device.modelName != nullptr ? device.modelName : "";
}

// Headline, question and result without a question of each case.
struct ConfirmCase {
    const char* headline;    // takes the device's model name
    const char* question;
    int resultWhenNotAsked;
};

constexpr ConfirmCase kSameCase = {
    "\nThe firmware in the %.33s matches this update.\n",
    "\n\nUpdate anyway? (Y,N) ",
    kUpdateDeclined,
};
constexpr ConfirmCase kNewerCase = {
    "\n\nThis update is newer than the firmware inside the %.33s.\n",
    "\n\nContinue with update to newer version? (Y,N) ",
    kUpdateConfirmed,
};
constexpr ConfirmCase kOlderCase = {
    "\n\nThis update is OLDER than the firmware inside the %.33s!\n",
    "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ",
    kUpdateDeclined,
};

// Waits for Y or N and returns it in upper case. Ends the program when no
// key can come any more.
int ReadYesOrNo()
{
    for (;;) {
        const int key = ReadKey();
        if (key == kNoMoreKeys)
            ExitProgram(1);
        if (key == 'y' || key == 'Y')
            return 'Y';
        if (key == 'n' || key == 'N')
            return 'N';
    }
}

}  // namespace

int32_t VersionTextWidth(FirmwareVersion version)
{
    if (version == 0)
        return 4;
    int32_t width = 4;
    if (MajorOf(version) > 9)
        width += 1;
    if (BetaOf(version) != 0)
        width += 9;
    if (LetterOf(version) != 0)
        width += 1;
    return width;
}

void PrintVersion(FirmwareVersion version, int32_t pad)
{
    if (version == 0) {
        Print("None");
    } else {
        Print("%u.%02u", MajorOf(version), MinorOf(version));
        if (BetaOf(version) != 0)
            Print(".%02u", BetaOf(version));
        if (LetterOf(version) != 0)
            Print("%c", static_cast<char>((96u + LetterOf(version)) & 0xFFu));
        if (BetaOf(version) != 0)
            Print("(Beta)");
    }
    Print(",");
    if (pad > 0)
        Print("%*s", static_cast<int>(pad), "");
}

void PrintVersions(const DeviceInfo& device, const unsigned char* image)
{
    const FirmwareVersion imageVersion = ImageVersion(image);
    const int32_t deviceWidth = VersionTextWidth(device.version);
    const int32_t imageWidth = VersionTextWidth(imageVersion);
    int32_t devicePad = 1;
    int32_t imagePad = 1;
    if (deviceWidth > imageWidth)
        imagePad = deviceWidth - imageWidth + 1;
    else
        devicePad = imageWidth - deviceWidth + 1;

    Print("\n Current Version: ");
    PrintVersion(device.version, devicePad);
    Print("Model: %.33s", DeviceModelName(device));
    Print("\n Update Version:  ");
    PrintVersion(imageVersion, imagePad);
    Print("Model: %.33s", ImageModelName(image));
}

int ConfirmUpdate(const DeviceInfo& device, const unsigned char* image, int askIfSame, int askIfNewer,
                  int askIfOlder)
{
    const FirmwareVersion imageVersion = ImageVersion(image);
    const ConfirmCase* confirmCase = &kSameCase;
    int ask = askIfSame;
    if (device.version < imageVersion) {
        confirmCase = &kNewerCase;
        ask = askIfNewer;
    } else if (device.version > imageVersion) {
        confirmCase = &kOlderCase;
        ask = askIfOlder;
    }

    Print(confirmCase->headline, DeviceModelName(device));
    PrintVersions(device, image);
    if (!ask) {
        Print("\n");
        return confirmCase->resultWhenNotAsked;
    }

    Print("%s", confirmCase->question);
    const int answer = ReadYesOrNo();
    Print("%c\n", answer);
    if (answer == 'Y')
        return kUpdateConfirmed;
    Print("\nUpdate cancelled.\n\n");
    return kUpdateDeclined;
}

#pragma once
// Message boxes shown outside of any dialog view (start-up, device prompts).
// Style bits are those of the Win32 MessageBox. Windows: a real message box
// with an empty caption. Linux: the text on standard error; when standard
// input is a terminal the box waits for Enter. Returns the button pressed
// (1 = OK), 0 when no box could be shown or nobody could answer it (Linux:
// standard input is no terminal, or it ended before Enter).

#include <cstdint>

constexpr std::uint32_t kMbOk = 0x00000000u;
constexpr std::uint32_t kMbIconError = 0x00000010u;
constexpr std::uint32_t kMbIconExclamation = 0x00000030u;
constexpr std::uint32_t kMbIconInformation = 0x00000040u;
constexpr std::uint32_t kMbSystemModal = 0x00001000u;

int ShowSystemMessageBox(const char* text, std::uint32_t style);

// A front end that owns the console while it runs (the Linux dialog view
// reads standard input on its GUI thread): while one is set, message boxes
// shown outside of it (the upgrader's replug prompt, from any thread) go
// through it, so one reader owns standard input and the Enter reaches the
// box it was meant for. Same answers as ShowSystemMessageBox. Windows
// message boxes read no console: the owner is kept but not used there.
class IMessageBoxOwner
{
public:
    virtual int ShowOwnedMessageBox(const char* text, std::uint32_t style) = 0;

protected:
    ~IMessageBoxOwner() = default;
};
// Sets (null: clears) the owner; the previous one is returned.
IMessageBoxOwner* SetMessageBoxOwner(IMessageBoxOwner* owner);
// The box as shown without an owner (what an owner falls back to once it
// reads the console no more).
int ShowUnownedMessageBox(const char* text, std::uint32_t style);

// Installs the driver package (INF) for the devices with the hardware
// identifier (Windows: UpdateDriverForPlugAndPlayDevicesA, forced). Linux has
// no such installer: false with error 38 (ENOSYS).
bool UpdateDriverForDevices(const char* hardwareId, const char* infPath, bool* rebootRequired,
                            std::uint32_t* error);

// The same with a caption (Windows: the box's title; Linux: printed before
// the text).
int ShowCaptionedMessageBox(const char* text, const char* caption, std::uint32_t style);

#pragma once
// The campaign of an Avnera family (av7300, av7201, av6201, av6302): runs of
// the bench program, each drawn from the seed with the product's starting
// memory (an older image, the same image, one it boots from its ROM or
// loader: interrupted, blank), the image the program gets (the right one,
// or one for another part, larger than the memory, cut short, corrupt),
// whether the version check runs (/F), and a fault of every kind the
// product has (pulled out at any write including the last, or at a read or
// an erase; late answers; a slow erase; a slow ROM; a stuck cell; EEPROM
// write cycles).
//
// The AV7300 and the AV7201 draw now and then two faults at once: a cell of
// the header that makes the memory boot keeps its value, and the product is
// pulled out; the run after it then goes without /F (the image is newer than
// any) and must end with the product holding the image (exit 0, or exit 1
// when it already did).
// The AV7300 draws also secondary-only updates the device's chain would not
// reach (a new file 12 off a sector with an aligned file behind it, a
// device chain that ends before the next free sector), and images for
// another part of the same size on a memory that names no part.
//
// After every run:
//   - exit 0 only when the memory holds the image (for the AV7300 also the
//     secondary-only merge at the device's offset) and, for the AV7300, the
//     device's own chain leads to the image's version file (the device tells
//     the version just written); an image that has to be refused never exits
//     0; exit 1 or 2 only with the memory untouched;
//   - a refused image touched nothing;
//   - after any other run, now and then first a run with a wrong image (for
//     another part, larger than the memory, for the other chip) from what
//     the memory kept: it never exits 0 either;
//   - then a second one, with the right image and no fault, from what the
//     memory kept (a power cycle), must exit 0 holding it.
// Counted: false successes (the first rule), unrecoverable products (the
// last), refusals that touched the memory, and failures of runs without any
// fault, and runs through the executable that did not end within their
// bound (hangs). The runs go through the bench program's body in this
// process; one run in processEvery (with its second run) goes through the
// bench program executable.
//
// Last lines: "<family>-runs N", "<family>-false-successes F",
// "<family>-unrecoverable U", "<family>-touched T",
// "<family>-unexpected-failures X", "<family>-hangs H",
// "<family>-through-program P". Result: 0 when F, U, T, X and H are 0.
#include <cstdint>
#include <string>

struct SAvneraCampaignOptions
{
    std::string family;       // av7300, av7201, av6201, av6302
    int runs = 1000;
    std::uint32_t seed = 1;
    double timeScale = 0.01;
    int processEvery = 10;    // 0: never through the executable
    bool verbose = false;
    std::string bench;        // the bench program executable
    std::string work;         // where the runs keep their files
};

bool IsAvneraCampaignFamily(const std::string& family);
int RunAvneraCampaign(const SAvneraCampaignOptions& options);

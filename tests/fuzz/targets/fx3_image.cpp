// The FX3 boot-image check on any bytes: CheckFx3Image, the facts it is
// built on, and the search for the serial-number descriptor.
#include "DeviceRig.h"
#include "FuzzSupport.h"

using namespace orvex::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Session session;
    DeviceRig rig;
    CUsbDevice* d = rig.device;
    rig.Load(std::vector<uint8_t>(data, data + size));

    Fx3ImageFacts facts;
    InspectFx3Image(d, &facts);
    const BOOLEAN accepted = CheckFx3Image(d);
    FUZZ_CHECK((accepted != FALSE) == (facts.Verdict == Fx3Verdict::Accepted),
               "the check and its facts disagree");
    if (accepted) {
        // An accepted image ends with its checksum word inside the file.
        FUZZ_CHECK(facts.EndMarkerOffset + 12 <= size, "accepted image whose checksum lies past the file");
    }
    const ULONG j = FindFx3ImageSerial(d);
    if (j != Fx3SerialNotFound) {
        FUZZ_CHECK(j + 0x1C <= size, "serial descriptor found reaching past the file");
        if (accepted) (void)Fx3SerialWritable(d, j);
    }
    rig.Unload();
    return 0;
}

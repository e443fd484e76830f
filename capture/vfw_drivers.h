#pragma once

// On Windows the system's drivers are AVICAP32's (Video for Windows) capture drivers, in the order
// capGetDriverDescriptionA lists them: capture index 1 is VFW driver 0, which on a current Windows is
// the one driver that reaches every webcam. A named driver is "vfw:N", VFW driver N by its own number.
struct SystemDrivers {};

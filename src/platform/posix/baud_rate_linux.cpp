// The only file that talks to the kernel's termios2 interface. termios2 is what lets a port run
// at any speed (14400 and 28800 have no B constant) and is also the only way to read back the
// speed the driver really took. <asm/termbits.h> redefines the glibc termios names, so this file
// must never include <termios.h>; the rest of the layer reaches it through the functions below.

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/serial_device.h"

namespace flashpost::platform::termios2_io {

// A copy of a port's whole line state, opaque to the callers.
using SavedLine = std::array<unsigned char, 64>;
static_assert(sizeof(struct termios2) <= sizeof(SavedLine));

namespace {

bool Get(int fd, struct termios2& t) { return ioctl(fd, TCGETS2, &t) == 0; }

int DataBits(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

}  // namespace

bool SaveLine(int fd, SavedLine& out) {
  struct termios2 t {};
  if (!Get(fd, t)) return false;
  out.fill(0);
  std::memcpy(out.data(), &t, sizeof t);
  return true;
}

bool RestoreLine(int fd, const SavedLine& saved) {
  struct termios2 t {};
  std::memcpy(&t, saved.data(), sizeof t);
  // A port's own settings are mostly a terminal's: it echoes what comes in and, with IXOFF,
  // answers a full input buffer with XOFF. Put back as they were, the tty would send the module's
  // own bytes back to it in the moment before the close, and for as long as anyone holds the line
  // open after it (a pty's far end does). Nothing but what the program writes may reach a
  // module, so the line keeps everything else of its own and stays silent.
  t.c_lflag &= ~(ECHO | ECHONL);
  t.c_iflag &= ~IXOFF;
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool ReadLineSettings(int fd, LineSettings& out) {
  struct termios2 t {};
  if (!Get(fd, t)) return false;
  // The tty core keeps c_ospeed filled in whichever way the speed was set, B constant or not.
  out.baud = t.c_ospeed;
  out.data_bits = DataBits(t.c_cflag);
  out.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
  out.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
  out.hardware_flow = (t.c_cflag & CRTSCTS) != 0;
  out.software_flow = (t.c_iflag & (IXON | IXOFF)) != 0;
  return true;
}

bool ConfigureRawLine(int fd, uint32_t baud) {
  struct termios2 t {};
  if (!Get(fd, t)) return false;

  // What cfmakeraw does, plus no flow control of either kind: the module has no handshake lines
  // wired and its binary download would be corrupted by any byte translation.
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IUCLC | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &t) != 0) return false;

  // Drivers that cannot do a speed often store the nearest one they can and still report success,
  // so only the read-back tells whether the line really runs as asked.
  struct termios2 back {};
  if (!Get(fd, back)) return false;
  const tcflag_t format = CSIZE | PARENB | CSTOPB | CRTSCTS;
  return back.c_ospeed == baud && back.c_ispeed == baud && (back.c_cflag & format) == CS8 &&
         (back.c_iflag & (IXON | IXOFF)) == 0;
}

}  // namespace flashpost::platform::termios2_io

// SPDX-License-Identifier: MIT
// pageburn: writes a firmware file into the flash of an Atmel SAM chip through its SAM-BA
// ROM monitor, which shows up as a USB CDC serial port.
#include "pageburn/pageburn_program.h"

int main(int argc, char** argv) {
  return kestrune::PageburnMain(argc, argv);
}

#include "at/extended_commands.h"

#include <string>

#include "at_fixture.h"

namespace {

using HayesCommands = at_fixture;

// One modem through the lines in order: forms, ranges, and the values that later lines read.
TEST_F(HayesCommands, AnswersAsAReadyCellularModem) {
  const char* const rows[][2] = {
      {"ATB1L3M3N1W2X4Y0&G2&J1&S1&Y0\\N7%C3", "OK\r\n"},
      {"ATX5", "ERROR\r\n"},
      {"AT+GCAP;+GMI=?;+CGMI", "\r\n+GCAP: +CGSM,+FCLASS\r\n\r\norvaned\r\nOK\r\n"},
      {"AT+FCLASS=?;+FCLASS=1", "ERROR\r\n"},
      {"AT+IPR?;+IPR=?;+IPR=9600", "\r\n+IPR: 9600\r\n\r\n+IPR: (),(9600)\r\nOK\r\n"},
      {"AT+IPR=19200", "ERROR\r\n"},
      {"AT+IFC=2,2;+IFC?;\\Q1+IFC?", "\r\n+IFC: 2,2\r\n\r\n+IFC: 1,1\r\nOK\r\n"},
      {"AT\\Q2", "ERROR\r\n"},
      {"AT+CREG=2;+CREG?;+CGREG?", "\r\n+CREG: 2,1\r\n\r\n+CGREG: 0,1\r\nOK\r\n"},
      {"AT+CSQ=?;+CBST=,,2;+CBST?", "\r\n+CSQ: (0-31,99),(99)\r\n\r\n+CBST: 7,0,2\r\nOK\r\n"},
      {"AT+CMEE=1;+CMEE?;+CRC=?", "\r\n+CMEE: 1\r\n\r\n+CRC: (0-1)\r\nOK\r\n"},
      {"AT+COPS?;+COPS=?", "\r\n+COPS: 0\r\n\r\n+COPS: ,,(0-4),(0-2)\r\nOK\r\n"},
      {"AT+VCID=1;#CID?;+CLIP?", "\r\n1\r\n\r\n+CLIP: 0,1\r\nOK\r\n"},
      // A basic command after an extended one needs the ";"; what is not in the table is ERROR.
      {"AT+CPIN?E0", "ERROR\r\n"},
      {"AT+CREG=3", "ERROR\r\n"},
      {"AT+CXYZ?", "ERROR\r\n"},
      // AT&F: the factory flow control and cellular values, caller ID off.
      {"AT&F+CREG?;+IFC?;+VCID?", "\r\n+CREG: 0,1\r\n\r\n+IFC: 0,0\r\n\r\n0\r\nOK\r\n"},
      {"ATV0+CPIN?", "+CPIN: READY\r\n0\r"},
  };
  ms->settings.compat = 1;
  for (const auto& [line, reply] : rows) EXPECT_EQ(run(line), reply) << line;
}

}  // namespace

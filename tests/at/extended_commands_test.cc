#include "at/extended_commands.h"

#include <string>

#include "at_fixture.h"

namespace {

using HayesCommands = at_fixture;

// One modem through the lines in order: forms, ranges and the values that later lines read.
TEST_F(HayesCommands, AnswersAsAReadyCellularModem) {
  struct row {
    const char* line;
    std::string reply;
  };
  const row rows[] = {
      {"ATB1L3M3N1W2X4Y0&G2&J1&S1&Y0\\N7%C3", "OK\r\n"},
      {"ATX5", "ERROR\r\n"},
      {"ATY1", "ERROR\r\n"},
      {"AT&C2", "ERROR\r\n"},
      {"AT+GCAP;+GMI=?", "\r\n+GCAP: +CGSM,+FCLASS\r\nOK\r\n"},
      {"AT+CGMI", "\r\norvaned\r\nOK\r\n"},
      {"AT+FCLASS=?;+FCLASS=1", "ERROR\r\n"},
      {"AT+IPR?;+IPR=?;+IPR=9600", "\r\n+IPR: 9600\r\n\r\n+IPR: (),(9600)\r\nOK\r\n"},
      {"AT+IPR=19200", "ERROR\r\n"},
      {"AT+IFC=2,2;+IFC?", "\r\n+IFC: 2,2\r\nOK\r\n"},
      {"AT\\Q1+IFC?", "\r\n+IFC: 1,1\r\nOK\r\n"},
      {"AT\\Q2", "ERROR\r\n"},
      {"AT+IFC=1,2", "ERROR\r\n"},
      {"AT+CREG=2;+CREG?;+CGREG?", "\r\n+CREG: 2,1\r\n\r\n+CGREG: 0,1\r\nOK\r\n"},
      {"AT+CREG=3", "ERROR\r\n"},
      {"AT+CSQ=?", "\r\n+CSQ: (0-31,99),(99)\r\nOK\r\n"},
      {"AT+CBST=?;+CBST=,,2;+CBST?",
       "\r\n+CBST: (0-134),(0-7),(0-3)\r\n\r\n+CBST: 7,0,2\r\nOK\r\n"},
      {"AT+CBST=135", "ERROR\r\n"},
      {"AT+CMEE=1;+CMGF=1;+CRC=1;+CMEE?;+CRC=?", "\r\n+CMEE: 1\r\n\r\n+CRC: (0-1)\r\nOK\r\n"},
      {"AT+COPS?;+COPS=?", "\r\n+COPS: 0\r\n\r\n+COPS: ,,(0-4),(0-2)\r\nOK\r\n"},
      {"AT+VCID=1;#CID?;+CLIP?;+CLIP=?", "\r\n1\r\n\r\n+CLIP: 0,1\r\n\r\n+CLIP: (0-1)\r\nOK\r\n"},
      // A basic command after an extended one needs the ";".
      {"AT+CSQ?", "ERROR\r\n"},
      {"AT+CPIN?E0", "ERROR\r\n"},
      {"AT+CPIN=1234", "ERROR\r\n"},
      {"AT+COPS=0", "ERROR\r\n"},
      {"AT+CXYZ?", "ERROR\r\n"},
      {"AT+", "ERROR\r\n"},
      // AT&F: the factory flow control, the cellular parameters back; caller ID off.
      {"AT&F+CREG?;+IFC?;+VCID?", "\r\n+CREG: 0,1\r\n\r\n+IFC: 0,0\r\n\r\n0\r\nOK\r\n"},
      {"ATV0+CPIN?", "+CPIN: READY\r\n0\r"},
  };
  ms->settings.compat = 1;
  for (const row& r : rows) EXPECT_EQ(run(r.line), r.reply) << r.line;
}

}  // namespace

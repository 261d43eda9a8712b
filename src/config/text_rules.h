// Text rules shared by the command interpreter and the substitution script.
#pragma once

// Removes every white-space character (space, \t, \n, \v, \f, \r) from `text` in place and
// upper-cases the ASCII letters of the rest.
void strip_blanks_upper(char* text);

// Normalises a phone number in place: an optional leading '+' stays, digits are kept, every
// other non-letter is dropped. Returns the length the text had, or -1 when the number is empty
// after the '+' ("phone number too short") or holds a letter ("phone number contains a letter
// %c"); both are logged at level 7.
int normalize_phone_number(char* text);

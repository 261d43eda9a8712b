# The terminal side of a sandbox's serial line, run by scripts/sandbox-bridge under socat: the
# modem's bytes arrive on stdin and go to the screen (fd 4); the keys arrive on fd 3 and go to
# the modem on stdout. The Backspace key's DEL (0x7f) is sent as the modem's backspace, BS
# (0x08). Ctrl-] (0x1d) leaves. With "lines" as argument, a CR from the modem that no LF follows
# is shown as CR LF, so that text typed on the other modem's side appears line by line. After
# the end of the keys (not a terminal), what the modem still sends is shown for 2 to 3 s more.
use strict;
use warnings;

my $lines = (shift // '') eq 'lines';
open(my $keys, '<&=', 3) or die "keys: $!\n";
open(my $screen, '>&=', 4) or die "screen: $!\n";
my ($after_cr, $until) = (0, undef);
my $watch = '';
vec($watch, 0, 1) = 1;
vec($watch, 3, 1) = 1;

sub put {
  my ($fh, $bytes) = @_;
  while (length $bytes) {
    my $n = syswrite($fh, $bytes);
    exit 0 unless defined $n;
    substr($bytes, 0, $n) = '';
  }
}

for (;;) {
  my $left = defined $until ? $until - time : undef;
  last if defined $left && $left <= 0;
  my $ready = select(my $got = $watch, undef, undef, $left);
  next if $ready < 0;
  if (vec($got, 3, 1)) {
    my $n = sysread($keys, my $buf, 4096);
    if (!$n) {
      vec($watch, 3, 1) = 0;
      $until = time + 3;
    } else {
      my $leave = $buf =~ s/\x1d.*//s;
      $buf =~ tr/\x7f/\x08/;
      put(\*STDOUT, $buf);
      last if $leave;
    }
  }
  if (vec($got, 0, 1)) {
    my $n = sysread(STDIN, my $buf, 4096);
    last unless $n;
    if ($lines) {
      my $ends_cr = substr($buf, -1) eq "\r";
      $buf =~ s/^\n// if $after_cr;
      $buf =~ s/\r\n?/\r\n/g;
      $after_cr = $ends_cr;
    }
    put($screen, $buf);
  }
}

# widl writes the time of the build into a type library twice: as text
# ("Created by WIDL version 7.0 at <ctime>") and as a 32-bit time value right
# after it. Both become the epoch, so that two builds of the same sources give
# the same bytes. The lengths stay as they are.
#   perl fix_tlb_time.pl FILE.tlb
use strict;
use warnings;
my $file = shift or die "usage: fix_tlb_time.pl FILE.tlb\n";
open(my $in, '<:raw', $file) or die "$file: $!\n";
local $/;
my $bytes = <$in>;
close($in);
$bytes =~ s/(Created by WIDL version [0-9.]+ at ).{24}\n(W*)\x13\x00.{4}/$1Thu Jan  1 00:00:00 1970\n$2\x13\x00\x00\x00\x00\x00/s
  or die "$file: no widl time stamp found\n";
open(my $out, '>:raw', $file) or die "$file: $!\n";
print $out $bytes;
close($out) or die "$file: $!\n";

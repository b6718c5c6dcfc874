#!/usr/bin/perl
# The reference for `zarvo-cli mmdb --all FILE.mmdb`: the Perl MaxMind::DB::Reader walks
# the whole search tree and prints a row of the same columns for each network (the
# network, continent, country and registered country; for a city database also the
# city, its English name, the first subdivision's English name and the postal code).
# It walks the aliases of the IPv4 tree too, so it prints more rows than zarvo-cli.
# Usage: perl_walk.pl FILE.mmdb
use strict;
use warnings;
use MaxMind::DB::Reader;

my $reader = MaxMind::DB::Reader->new(file => $ARGV[0]);
my $city = $reader->metadata->database_type =~ /-city$/i;
my $v6 = $reader->metadata->ip_version == 6;
binmode STDOUT, ':encoding(UTF-8)';
$reader->iterate_search_tree(sub {
    my ($ip, $mask, $d) = @_;
    my $net = $v6 && $ip < 2**32 && $mask >= 96
        ? join('.', unpack('C4', pack('N', $ip))) . '/' . ($mask - 96)
        : "$ip/$mask";
    my @row = ($net, $d->{continent}{code} // '', $d->{continent}{geoname_id} // 0,
               $d->{country}{iso_code} // '', $d->{country}{geoname_id} // 0,
               $d->{registered_country}{iso_code} // '', $d->{registered_country}{geoname_id} // 0);
    if ($city) {
        my $sub = ($d->{subdivisions} // [])->[0] // {};
        push @row, $d->{city}{geoname_id} // 0, $d->{city}{names}{en} // '', $sub->{names}{en} // '',
            $d->{postal}{code} // '';
    }
    print join(',', @row), "\n";
});

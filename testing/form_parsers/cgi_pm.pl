#!/usr/bin/perl
# A login application that reads the form with Perl's CGI.pm (param() takes
# the first value). Prints what it read as JSON, as parse_qs.py does.
use strict;
use warnings;
use CGI;
use JSON::PP;

my $q = CGI->new;
my %all = map { $_ => [ $q->multi_param($_) ] } $q->param;
my %read = map { $_ => scalar $q->param($_) } qw(username domain result password);
print $q->header('application/json'), JSON::PP->new->ascii->canonical->encode({ read => \%read, all => \%all });

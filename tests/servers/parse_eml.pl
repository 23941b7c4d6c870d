#!/usr/bin/perl
# Prints the attachment names that MIME::Tools (a reader of another family
# than Python's email package) finds in one .eml file, one per line:
#   filename TAB <name it would save the part as>
#   type-name TAB <name parameter of Content-Type, encoded-words decoded>
use strict;
use warnings;
use Encode qw(encode decode);
use MIME::Parser;

my $parser = MIME::Parser->new;
$parser->output_to_core(1);
$parser->tmp_to_core(1);
my $entity = $parser->parse_open($ARGV[0]) or die "cannot parse $ARGV[0]\n";
for my $part ($entity->parts_DFS) {
    my $head = $part->head;
    my $disposition = $head->mime_attr('content-disposition') // '';
    next unless lc($disposition) eq 'attachment';
    my $name = $head->recommended_filename // '';
    print "filename\t", encode('UTF-8', $name), "\n";
    my $typeName = $head->mime_attr('content-type.name') // '';
    print "type-name\t", encode('UTF-8', decode('MIME-Header', $typeName)), "\n";
}

#!/usr/bin/perl
# Makes a man page from a template and sections of README.md, so that the
# options, messages and exit statuses the README documents reach the man
# page word for word.
#
#   readme2man.pl TEMPLATE README VERSION DATE > PAGE
#
# The template is roff (man macros). In it, @VERSION@ and @DATE@ are
# replaced, and a line
#   @README ## Heading
# is replaced by the README section under that heading, up to the next
# heading of the same or a higher level, converted to roff; its
# sub-headings become .SS. "@README # Heading @FIRST" takes only the first
# paragraph; "@README ## Heading @SH" makes its sub-headings sections of
# the page (.SH, in capitals). A heading that is not in the README is an
# error.
#
# The Markdown the README uses: paragraphs, `code`, **bold**, [links](url),
# "- " and "1. " lists, code blocks (indented four spaces or fenced with
# ```), and tables. A table becomes one tagged paragraph per row: the first
# cell is the tag (or the first cell that is not empty), the other cells
# follow, those of the second column as they are when it is headed "Meaning"
# or the table has two columns, the others after their column's header.
use strict;
use warnings;

die "usage: readme2man.pl TEMPLATE README VERSION DATE\n" unless @ARGV == 4;
my ($template, $readme, $version, $date) = @ARGV;

open(my $rfh, '<', $readme) or die "readme2man: cannot read $readme: $!\n";
my @readme = <$rfh>;
close $rfh;
chomp @readme;

open(my $tfh, '<', $template) or die "readme2man: cannot read $template: $!\n";
while (my $line = <$tfh>) {
    chomp $line;
    if ($line =~ /^\@README\s+(#+\s+.*?)(?:\s+\@(FIRST|SH))?\s*$/) {
        my ($heading, $flag) = ($1, $2 // '');
        my @lines = section_lines($heading);
        @lines = first_paragraph(@lines) if $flag eq 'FIRST';
        print blocks_to_roff($flag eq 'SH', @lines);
        next;
    }
    $line =~ s/\@VERSION\@/$version/g;
    $line =~ s/\@DATE\@/$date/g;
    print "$line\n";
}
close $tfh;

# The lines of the section under the heading, without the heading.
sub section_lines {
    my ($heading) = @_;
    my ($level) = $heading =~ /^(#+)/;
    $level = length $level;
    my $fenced = 0;
    for my $i (0 .. $#readme) {
        next unless $readme[$i] eq $heading;
        my @lines;
        for my $line (@readme[$i + 1 .. $#readme]) {
            $fenced = !$fenced if $line =~ /^```/;
            last if !$fenced && $line =~ /^(#+)\s/ && length($1) <= $level;
            push @lines, $line;
        }
        return @lines;
    }
    die "readme2man: no heading \"$heading\" in $readme\n";
}

sub first_paragraph {
    my @lines = @_;
    shift @lines while @lines && $lines[0] =~ /^\s*$/;
    my @para;
    push @para, shift @lines while @lines && $lines[0] !~ /^\s*$/;
    return @para;
}

# ---- inline text --------------------------------------------------------

# Plain text safe for roff: backslashes, and the minus signs and quotes of
# code, which must come out as typed.
sub escape {
    my ($text, $code) = @_;
    $text =~ s/\\/\\e/g;
    $text =~ s/-/\\-/g if $code;
    $text =~ s/'/\\(aq/g if $code;
    return $text;
}

# One line of Markdown text to roff text.
sub inline {
    my ($text) = @_;
    my $out = '';
    for my $part (split /(`[^`]*`)/, $text) {
        if ($part =~ /^`(.*)`$/s) {
            $out .= '\fB' . escape($1, 1) . '\fR';
            next;
        }
        $part =~ s/\[([^\]]*)\]\([^)]*\)/$1/g;
        $part = escape($part, 0);
        $part =~ s/\*\*(.+?)\*\*/\\fB$1\\fR/g;
        $out .= $part;
    }
    return $out;
}

# A line of roff text that starts with a dot or an apostrophe would be read
# as a request.
sub text_line {
    my ($text) = @_;
    $text =~ s/^\s+//;
    $text = "\\&$text" if $text =~ /^[.']/;
    return "$text\n";
}

# ---- blocks -------------------------------------------------------------

sub code_block {
    my @lines = @_;
    pop @lines while @lines && $lines[-1] =~ /^\s*$/;
    my $out = ".PP\n.RS 4\n.nf\n";
    for my $line (@lines) {
        my $text = escape($line, 1);
        $text = "\\&$text" if $text =~ /^[.']/;
        $out .= "$text\n";
    }
    return $out . ".fi\n.RE\n";
}

# Cells of a table row; a | inside `code` does not split.
sub cells {
    my ($row) = @_;
    $row =~ s/^\s*\|//;
    $row =~ s/\|\s*$//;
    my @cells;
    my $cell = '';
    my $code = 0;
    for my $c (split //, $row) {
        $code = !$code if $c eq '`';
        if ($c eq '|' && !$code) {
            push @cells, $cell;
            $cell = '';
        } else {
            $cell .= $c;
        }
    }
    push @cells, $cell;
    s/^\s+|\s+$//g for @cells;
    return @cells;
}

sub table {
    my @rows = @_;
    my @header = cells(shift @rows);
    shift @rows if @rows && $rows[0] =~ /^\s*\|[\s:|-]+\|\s*$/;
    my $out = '';
    for my $row (@rows) {
        my @cell = cells($row);
        my ($tag) = grep { $cell[$_] ne '' } 0 .. $#cell;
        next unless defined $tag;
        my @body;
        push @body, $header[$tag] . '.' if $tag > 0;
        for my $j (1 .. $#cell) {
            next if $j == $tag || $cell[$j] eq '';
            my $plain = @header == 2 || ($j == 1 && $header[1] eq 'Meaning');
            push @body, inline($plain ? $cell[$j] : "$header[$j]: $cell[$j]");
        }
        $out .= ".TP\n" . text_line(inline($cell[$tag]));
        $out .= join(".br\n", map { text_line($_) } @body);
    }
    return $out;
}

sub blocks_to_roff {
    my ($sections, @lines) = @_;
    my $out = '';
    while (@lines) {
        my $line = $lines[0];
        if ($line =~ /^\s*$/) {
            shift @lines;
        } elsif ($line =~ /^(#+)\s+(.*)$/) {
            shift @lines;
            $out .= $sections ? ".SH " . inline(uc $2) . "\n" : ".SS " . inline($2) . "\n";
        } elsif ($line =~ /^```/) {
            shift @lines;
            my @code;
            push @code, shift @lines while @lines && $lines[0] !~ /^```/;
            shift @lines;
            $out .= code_block(@code);
        } elsif ($line =~ /^    /) {
            my @code;
            while (@lines && ($lines[0] =~ /^    / || ($lines[0] =~ /^\s*$/ && @lines > 1 && $lines[1] =~ /^    /))) {
                my $code = shift @lines;
                push @code, length($code) > 4 ? substr($code, 4) : '';
            }
            $out .= code_block(@code);
        } elsif ($line =~ /^\|/) {
            my @rows;
            push @rows, shift @lines while @lines && $lines[0] =~ /^\|/;
            $out .= table(@rows);
        } elsif ($line =~ /^(-|\d+\.)\s+(.*)$/) {
            my ($mark, $text) = ($1, $2);
            shift @lines;
            $text .= ' ' . shift @lines while @lines && $lines[0] =~ /^\s{2,}\S/;
            $out .= $mark eq '-' ? ".IP \\(bu 2\n" : ".IP $mark 4\n";
            $out .= text_line(inline($text));
        } else {
            my @para;
            push @para, shift @lines
                while @lines && $lines[0] !~ /^\s*$/ && $lines[0] !~ /^(#+\s|```|\||-\s|\d+\.\s)/;
            $out .= ".PP\n" . text_line(inline(join(' ', map { s/^\s+//r } @para)));
        }
    }
    return $out;
}

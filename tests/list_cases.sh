# The list-content cases, one `t DESCRIPTION BEFORE ARGUMENTS AFTER` row each: cli.sh
# runs them against the tool, and the Ansible module's unit tests check its prediction
# against the same rows, so the two cannot drift apart. Sourced by bash, with t defined.
# BEFORE and AFTER are the list's bytes as printf formats, or - for no file; AFTER = means
# unchanged, modification time included. ARGUMENTS are shell words.

L70K=$(head -c 70000 /dev/zero | tr '\0' l)
N49=$(printf '%049d' 7)
MANY=$(seq -f 'n%g\n' 2000 | tr -d '\n')
MANY_BUT_1500=$(seq -f 'n%g\n' 2000 | grep -vxF 'n1500\n' | tr -d '\n')

# Adding
t 'add to no list'                    -             '-i lp1'  'lp1\n'
t 'add to an empty file'              ''            '-i lp1'  'lp1\n'
t 'add appends'                       'a\nb\n'      '-i c'    'a\nb\nc\n'
t 'add ends an open last line'        'a\nb'        '-i c'    'a\nb\nc\n'
t 'add of a listed name'              'a\nlp1\nb\n' '-i lp1'  =
t 'add of an open last line'          'a\nlp1'      '-i lp1'  =
t 'add of a listed name, twice there' 'x\nx\n'      '-i x'    =
t 'add is case-sensitive'             'LP1\n'       '-i lp1'  'LP1\nlp1\n'
t 'a carriage return is part of a line' 'lp1\r\n'   '-i lp1'  'lp1\r\nlp1\n'
t 'a blank is part of a line'         'lp1 \n'      '-i lp1'  'lp1 \nlp1\n'
t 'a carriage return ends no line'    'a\rb\n'      '-e b'    =
t 'a form feed ends no line'          'a\fb\n'      '-i b'    'a\fb\nb\n'
t 'part of a line is no match'        'a\nxlp1\nlp1x\n' '-i lp1' 'a\nxlp1\nlp1x\nlp1\n'
t 'add of an empty name'              'a\n'         '-i ""'   'a\n\n'
t 'add of an empty name, listed'      'a\n\nb\n'    '-i ""'   =
t 'add of an empty name to an empty file' ''        '-i ""'   '\n'
t 'a 49-byte name'                    'a\n'         "-i $N49" "a\n$N49\n"

# Removing
t 'remove from no list'               -             '-e lp1'  =
t 'remove from an empty file'         ''            '-e lp1'  =
t 'an empty file has no empty line'   ''            '-e ""'   =
t 'remove of an unlisted name'        'a\nb\n'      '-e c'    =
t 'remove takes every equal line'     'a\nX\nb\nX\n' '-e X'   'a\nb\n'
t 'remove is case-sensitive'          'x\nX\n'      '-e X'    'x\n'
t 'remove ends an open last line'     'X\na'        '-e X'    'a\n'
t 'remove of an open last line'       'a\nX'        '-e X'    'a\n'
t 'remove of the only line'           'X\n'         '-e X'    -
t 'remove of every line'              'X\nX'        '-e X'    -
t 'remove of an empty name'           '\na\n\n'     '-e ""'   'a\n'
t 'remove of the empty lines only'    '\n\n'        '-e ""'   -

# Lines and lists of any length, any bytes
t 'a 70,000-byte line is listed'      "$L70K\nb\n"  "-i $L70K" =
t 'a 70,000-byte line is removed'     "a\n$L70K\nb\n" "-e $L70K" 'a\nb\n'
t 'a 70,000-byte name is added'       -             "-i $L70K" "$L70K\n"
t 'a 70,000-byte line survives'       "$L70K\nX\n"  '-e X'    "$L70K\n"
t 'line 2,000 is listed'              "$MANY"       '-i n2000' =
t 'line 1,500 is removed'             "$MANY"       '-e n1500' "$MANY_BUT_1500"
t 'an add keeps 2,000 lines'          "$MANY"       '-i new'  "${MANY}new\n"
t 'a zero byte is kept'               'a\000b\nX\n' '-e X'    'a\000b\n'
t 'any byte is kept'                  '\377\001\t\n' '-i X'   '\377\001\t\nX\n'
t 'a name with high bytes'            'a\n\351\n'   "-e $'\351'" 'a\n'

# A name holding a line feed would be two lines: it changes nothing
t 'add of a name with a line feed'    'a\n'         "-i $'x\ny'" =
t 'remove of a name with a line feed' 'a\nb\n'      "-e $'a\nb'" =
t 'add of a line feed, no list'       -             "-i $'\n'"   =

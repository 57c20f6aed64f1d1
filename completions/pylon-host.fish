# fish completion for pylon-host

# Prints the group (ga or share), the verb and the number of its operands typed so far, read the
# way the program reads them: a flag's value is no operand, a lone "-" is one, and after a lone
# "--" every word is one. Prints
# "value" instead of the verb when the word being completed is the value of a flag.
function __pylon_host_state
    set -l words (commandline -opc)
    set -l group
    set -l value_flags
    switch "$words[2]"
        case git-activity gitactivity ga
            set group ga
            set value_flags --at --timeout
        case share
            set group share
            set value_flags --peer --timeout
        case '*'
            return 1
    end
    set -l skip 0
    set -l verb
    set -l operands 0
    set -l ended 0
    for w in $words[3..-1]
        if test $skip = 1
            set skip 0
        else if test $ended = 0; and test "$w" = --
            set ended 1
        else if test $ended = 0; and string match -q -- '--*' $w
            contains -- $w $value_flags; and set skip 1
        else if test -z "$verb"
            set verb $w
        else
            set operands (math $operands + 1)
        end
    end
    test $skip = 1; and set verb value
    echo $group $verb $operands
end

# True when the word being completed is the first one, the group.
function __pylon_host_needs_group
    test (count (commandline -opc)) -eq 1
end

# True when the command line stands at the verb of a group (GROUP is ga or share).
function __pylon_host_needs_verb -a group
    set -l state (string split ' ' -- (__pylon_host_state))
    test "$state[1]" = $group; and test (count $state) -eq 2
end

# True when the verb of GROUP is one of the VERBs.
function __pylon_host_verb -a group
    set -l state (string split ' ' -- (__pylon_host_state))
    test "$state[1]" = $group; and contains -- "$state[2]" $argv[2..-1]
end

# True when the word being completed is the first operand of the verb.
function __pylon_host_first_operand
    set -l state (string split ' ' -- (__pylon_host_state))
    test "$state[3]" = 0
end

# True when the word being completed is the value of --NAME.
function __pylon_host_value_of -a name
    set -l state (string split ' ' -- (__pylon_host_state))
    test "$state[2]" = value; and test (commandline -opc)[-1] = --$name
end

# True when --NAME was given already (the program reads only its first occurrence), or when a
# lone "--" has ended the flags.
function __pylon_host_given -a name
    set -l words (commandline -opc)
    contains -- -- $words[3..-1]; and return 0
    string match -q -r -- "^--$name(=|\$)" $words
end

complete -c pylon-host -f

complete -c pylon-host -n __pylon_host_needs_group -a git-activity -d 'git commit markers and the post-commit recorder'
complete -c pylon-host -n __pylon_host_needs_group -a gitactivity -d 'alias of git-activity'
complete -c pylon-host -n __pylon_host_needs_group -a ga -d 'alias of git-activity'
complete -c pylon-host -n __pylon_host_needs_group -a share -d 'send, fetch and list files on the paired peer'
complete -c pylon-host -n __pylon_host_needs_group -a help -d 'print the help text'
complete -c pylon-host -n __pylon_host_needs_group -l help -d 'print the help text'
complete -c pylon-host -n __pylon_host_needs_group -l describe -d 'print the one-line description'
complete -c pylon-host -n __pylon_host_needs_group -l version -d 'print the version'

complete -c pylon-host -n '__pylon_host_needs_verb ga' -a record -d "touch this repository's marker (post-commit hook entry point)"
complete -c pylon-host -n '__pylon_host_needs_verb ga' -a enable -d 'install the post-commit recorder and backfill the marker'
complete -c pylon-host -n '__pylon_host_needs_verb ga' -a enable-all -d 'enable every repository under DIR (default ~/work)'
complete -c pylon-host -n '__pylon_host_needs_verb ga' -a disable -d 'remove the recorder from the hook'
complete -c pylon-host -n '__pylon_host_needs_verb ga' -a list -d 'markers, newest first'
complete -c pylon-host -n '__pylon_host_needs_verb ga' -a path -d 'print the marker directory'
complete -c pylon-host -n '__pylon_host_needs_verb ga' -a migrate -d 'copy legacy ~/.kestrel markers into the fleet home'
complete -c pylon-host -n '__pylon_host_needs_verb ga' -a status -d 'whether commits here are recorded, and what to do if not'
complete -c pylon-host -n '__pylon_host_needs_verb ga' -a disable-all -d 'remove the recorder from every repository under DIR'
complete -c pylon-host -n '__pylon_host_needs_verb ga' -a prune -d 'remove the markers of repositories that are gone'

complete -c pylon-host -n '__pylon_host_needs_verb share' -a push -d "send files to the peer's share"
complete -c pylon-host -n '__pylon_host_needs_verb share' -a pull -d 'fetch a file into the local share'
complete -c pylon-host -n '__pylon_host_needs_verb share' -a ls -d "list the peer's share"
complete -c pylon-host -n '__pylon_host_needs_verb share' -a dir -d 'print (and optionally open) the local share'
complete -c pylon-host -n '__pylon_host_needs_verb share' -a peer -d 'show or set the default share peer'
complete -c pylon-host -n '__pylon_host_needs_verb share' -a peers -d 'list the peer names of the fleet registry'

complete -c pylon-host -n '__pylon_host_verb ga record; and not __pylon_host_given at' -l at -x -d 'record the marker at this time instead of now'
complete -c pylon-host -n '__pylon_host_verb ga record; and not __pylon_host_given head' -l head -d 'move the marker up to the time of the commit HEAD points at'
complete -c pylon-host -n '__pylon_host_verb ga enable disable; and not __pylon_host_given global' -l global -d "the recorder in git's global configuration (git 2.54+)"
complete -c pylon-host -n '__pylon_host_verb ga status; and not __pylon_host_given all' -l all -d 'every repository that has a marker'
complete -c pylon-host -n '__pylon_host_verb ga enable enable-all disable disable-all prune; and not __pylon_host_given dry-run' -l dry-run -d 'report what would change, writing nothing'
complete -c pylon-host -n '__pylon_host_verb ga enable-all disable-all status prune; and not __pylon_host_given timeout' -l timeout -x -d 'deadline of the walk in seconds (default 300)'
complete -c pylon-host -n '__pylon_host_verb ga prune; and not __pylon_host_given restore' -l restore -d 'recreate the markers the last prune removed'
complete -c pylon-host -n '__pylon_host_verb ga migrate; and not __pylon_host_given apply' -l apply -d 'perform the migration instead of describing it'
complete -c pylon-host -n '__pylon_host_verb ga enable enable-all disable list path migrate status disable-all prune; and not __pylon_host_given json' -l json -d 'machine-readable output'
complete -c pylon-host -n '__pylon_host_verb ga enable-all disable-all' -a '(__fish_complete_directories)'
complete -c pylon-host -n '__pylon_host_verb ga enable disable status; and __pylon_host_first_operand' -a '(__fish_complete_directories)'

complete -c pylon-host -n '__pylon_host_verb share push pull ls peer; and not __pylon_host_given peer' -l peer -x -d 'quaylink peer to talk to'
complete -c pylon-host -n '__pylon_host_value_of peer' -l peer -x -a '(pylon-host share peers 2>/dev/null)'
complete -c pylon-host -n '__pylon_host_verb share push pull ls; and not __pylon_host_given timeout' -l timeout -x -d 'deadline in seconds (transfers 900, listings 60)'
complete -c pylon-host -n '__pylon_host_verb share dir; and not __pylon_host_given open' -l open -d 'also open the share directory in the file manager'
complete -c pylon-host -n '__pylon_host_verb share push pull ls dir peer peers; and not __pylon_host_given json' -l json -d 'machine-readable output'
complete -c pylon-host -n '__pylon_host_verb share push' -F
complete -c pylon-host -n '__pylon_host_verb share peer; and __pylon_host_first_operand' -a '(pylon-host share peers 2>/dev/null)'

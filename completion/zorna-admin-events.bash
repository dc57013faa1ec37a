# bash completion for zorna-admin-events
#
# Subcommands, options, event and group IDs: the command itself works them out
# from its parser and the event service's catalogue (under the --root given on
# the line, if any); see zorna_admin_events/completion.py.

_zorna_admin_events() {
    local cur=${COMP_WORDS[COMP_CWORD]} reply
    [[ $cur == = ]] && cur=
    reply=$("${COMP_WORDS[0]}" __complete "$COMP_CWORD" "${COMP_WORDS[@]:1}" 2>/dev/null) || return 0
    local IFS=$'\n'
    case $reply in
    $'\a'FILES)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
        ;;
    $'\a'DIRS)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
        ;;
    *)
        COMPREPLY=($(compgen -W "$reply" -- "$cur"))
        ;;
    esac
}
complete -F _zorna_admin_events zorna-admin-events

# bash completion for zorna-admin-events
#
# Subcommands, options, event and group IDs: the command itself works them out
# from its parser and the event service's catalogue (under the --root given on
# the line, if any), and keeps those that start with the word being completed;
# see zorna_admin_events/completion.py.  Its lines are taken as they are:
# nothing it prints is expanded or evaluated here (a tree's IDs are untrusted).
# When it can offer no ID, it says why, and a second Tab shows that.

_zorna_admin_events() {
    local cur=${COMP_WORDS[COMP_CWORD]} reply
    [[ $cur == = ]] && cur=
    COMPREPLY=()
    reply=$("${COMP_WORDS[0]}" __complete "$COMP_CWORD" "${COMP_WORDS[@]:1}" 2>/dev/null) || return 0
    case $reply in
    $'\a'FILES)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        ;;
    $'\a'DIRS)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        ;;
    $'\a'WHY' '*)
        # Listing (a second Tab, or show-all-if-ambiguous): two entries that
        # share no prefix, so readline lists them and inserts nothing.
        if [[ ${COMP_TYPE-} == 63 || ${COMP_TYPE-} == 33 ]]; then
            COMPREPLY=("${reply#$'\a'WHY }" " ")
        fi
        ;;
    ?*)
        mapfile -t COMPREPLY <<<"$reply"
        ;;
    esac
}
complete -F _zorna_admin_events zorna-admin-events

# bash completion for tarvolinctl
_tarvolinctl() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} words=""
    if [ "$COMP_CWORD" -eq 1 ]; then
        words="raise close quit kill json sometext keys pasteboard watch windows switch inspect press set --help --version"
    elif [ "$prev" = --channel ]; then
        words="pasteboard defaults"
    elif [ "$prev" = --action ] && [ "${COMP_WORDS[1]}" = switch ]; then
        words="raise close quit"
    else
        case ${COMP_WORDS[1]} in
            raise) words="--activate --channel --wait --force" ;;
            close | json) words="--channel --wait --force" ;;
            quit) words="--file --channel --wait --force" ;;
            keys) [ "$COMP_CWORD" -eq 2 ] && words="set show remove" ;;
            pasteboard) [ "$COMP_CWORD" -eq 2 ] && words="show clear" ;;
            watch) words="--count" ;;
            windows) words="--json" ;;
            switch) words="--menu --action --timeout" ;;
            inspect) words="--depth --json" ;;
            press) words="--action" ;;
        esac
        words="$words --help"
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -F _tarvolinctl tarvolinctl

# bash completion for kiv: commands, options, the names of running sessions
# where a session is expected, and the session's command with its own
# completion once it is named.

_kiv_sessions() {
    # Piped, `kiv ls` prints the names alone, one a line.
    local name
    while IFS= read -r name; do
        [[ $name == "$1"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
    done < <(command "$2" ls 2>/dev/null </dev/null)
}

_kiv() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local -a positional=()
    local i word mode="" expect_value="" options_ended="" command_at=""
    COMPREPLY=()

    # Options count up to the session's command word; from there on every
    # word is the command's.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $expect_value ]]; then
            expect_value=""
            continue
        fi
        if [[ -z $options_ended && $word == -- ]]; then
            options_ended=1
            continue
        fi
        if [[ -z $options_ended && $word == -?* ]]; then
            case $word in
                -l | --l | -listen | --listen | -p | --p | -port | --port | -S | --S) expect_value=1 ;;
            esac
            continue
        fi
        positional+=("$word")
        if ((${#positional[@]} == 1)); then
            case $word in
                d | da | dae | daem | daemo | daemon) mode=daemon ;;
                a | at | att | atta | attac | attach) mode=attach ;;
                n | ne | new) mode=new ;;
                l | ls) mode=ls ;;
                k | ki | kil | kill) mode=kill ;;
                c | ca | cap | capt | captu | captur | capture) mode=capture ;;
                s | se | sen | send) mode=send ;;
                *) mode=none ;;
            esac
        fi
        # After send's session, every word is text to type.
        if [[ $mode == send && ${#positional[@]} == 2 ]]; then
            return
        fi
        if [[ ($mode == none && ${#positional[@]} == 2) ||
            (($mode == new || $mode == daemon) && ${#positional[@]} == 3) ]]; then
            command_at=$i
            break
        fi
    done

    if [[ -n $command_at ]]; then
        # The command's arguments: its own completion when bash-completion
        # is there to find it, else file names.
        if declare -F _command_offset >/dev/null; then
            _command_offset "$command_at"
        else
            compopt -o default 2>/dev/null
        fi
        return
    fi
    [[ -n $expect_value ]] && return  # a listen address or a port

    if [[ -z $options_ended && $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-d --detached -l --listen -p --port --log -e -S -r --read-only -D --detach-others -v --version -h --help --" -- "$cur"))
        return
    fi

    local count=${#positional[@]}
    if ((count == 0)); then
        COMPREPLY=($(compgen -W "daemon attach new ls kill capture send" -- "$cur"))
        _kiv_sessions "$cur" "${COMP_WORDS[0]}"
    elif [[ $mode == attach || $mode == kill || $mode == send || $mode == new || $mode == daemon || $mode == capture ]] && ((count == 1)); then
        _kiv_sessions "$cur" "${COMP_WORDS[0]}"
    elif [[ ($mode == none && $count == 1) || (($mode == new || $mode == daemon) && $count == 2) ]]; then
        COMPREPLY=($(compgen -c -- "$cur"))
    fi
}

complete -F _kiv kiv

# fish completion for kiv: commands, options, the names of running sessions
# where a session is expected, and the session's command with its own
# completion once it is named.

# What the word under the cursor is: "value" (of -l or -p), "args" (the
# session command's), or the positional place, "first", "session",
# "command" or "none", followed by "opts" while options are still read.
function __kiv_place
    set -l words (commandline -opc)
    set -e words[1]
    set -l positional
    set -l mode
    set -l expect_value 0
    set -l options_ended 0
    for word in $words
        if test $expect_value = 1
            set expect_value 0
            continue
        end
        if test $options_ended = 0; and test "$word" = --
            set options_ended 1
            continue
        end
        if test $options_ended = 0; and string match -qr -- '^-.' $word
            if contains -- $word -l --l -listen --listen -p --p -port --port -S --S
                set expect_value 1
            end
            continue
        end
        set -a positional $word
        if test (count $positional) = 1
            switch $word
                case d da dae daem daemo daemon
                    set mode daemon
                case a at att atta attac attach
                    set mode attach
                case n ne new
                    set mode new
                case l ls
                    set mode ls
                case k ki kil kill
                    set mode kill
                case c ca cap capt captu captur capture
                    set mode capture
                case s se sen send
                    set mode send
                case '*'
                    set mode none
            end
        end
        set -l n (count $positional)
        # After send's session, every word is text to type.
        if test $mode = send; and test $n = 2
            echo none
            return
        end
        if begin
                test $mode = none; and test $n = 2
            end; or begin
                contains -- $mode new daemon; and test $n = 3
            end
            echo args
            return
        end
    end
    if test $expect_value = 1
        echo value
        return
    end
    set -l opts
    test $options_ended = 0; and set opts opts
    set -l n (count $positional)
    if test $n = 0
        echo first $opts
    else if contains -- $mode attach kill send new daemon capture; and test $n = 1
        echo session $opts
    else if test $mode = none -a $n = 1
        echo command $opts
    else if contains -- $mode new daemon; and test $n = 2
        echo command $opts
    else
        echo none $opts
    end
end

function __kiv_at
    string match -q -- "*$argv[1]*" (__kiv_place)
end

function __kiv_sessions
    # Piped, `kiv ls` prints the names alone, one a line.
    set -l kiv (commandline -opc)[1]
    command $kiv ls 2>/dev/null </dev/null
end

# The session's command and its arguments, completed as the command's own.
function __kiv_command_args
    set -l words (commandline -opc) (commandline -ct)
    set -l positional 0
    set -l skip 1
    set -l options_ended 0
    set -l expect_value 0
    set -l mode
    for i in (seq 2 (count $words))
        set -l word $words[$i]
        if test $expect_value = 1
            set expect_value 0
            continue
        end
        if test $options_ended = 0; and test "$word" = --
            set options_ended 1
            continue
        end
        if test $options_ended = 0; and string match -qr -- '^-.' $word
            contains -- $word -l --l -listen --listen -p --p -port --port -S --S; and set expect_value 1
            continue
        end
        set positional (math $positional + 1)
        if test $positional = 1
            set mode none
            contains -- $word d da dae daem daemo daemon n ne new; and set mode new
        end
        if begin
                test $mode = none; and test $positional = 2
            end; or begin
                test $mode = new; and test $positional = 3
            end
            complete -C (string join -- ' ' (string escape -- $words[$i..-1]))
            return
        end
    end
end

complete -c kiv -f
complete -c kiv -n '__kiv_at opts' -s d -l detached -d 'start in the background without attaching'
complete -c kiv -n '__kiv_at opts' -s l -l listen -x -d 'also listen on TCP (host:port)'
complete -c kiv -n '__kiv_at opts' -s p -l port -x -d 'TCP base port'
complete -c kiv -n '__kiv_at opts' -l log -d 'append to the log file'
complete -c kiv -n '__kiv_at opts' -s e -d 'capture with colours and attributes'
complete -c kiv -n '__kiv_at opts' -s S -x -d 'capture that many history lines too (- for all)'
complete -c kiv -n '__kiv_at opts' -s r -l read-only -d 'attach read-only'
complete -c kiv -n '__kiv_at opts' -s D -l detach-others -d 'detach the other clients'
complete -c kiv -n '__kiv_at opts' -s v -l version -d 'show version'
complete -c kiv -n '__kiv_at opts' -s h -l help -d 'show help'
complete -c kiv -n '__kiv_at first' -a daemon -d 'run a session daemon in the foreground'
complete -c kiv -n '__kiv_at first' -a attach -d 'attach to a session'
complete -c kiv -n '__kiv_at first' -a new -d 'start a session in the background and attach'
complete -c kiv -n '__kiv_at first' -a ls -d 'list sessions'
complete -c kiv -n '__kiv_at first' -a kill -d 'stop a session'
complete -c kiv -n '__kiv_at first' -a capture -d "print a session's screen"
complete -c kiv -n '__kiv_at first' -a send -d 'type text into a session'
complete -c kiv -n '__kiv_at first; or __kiv_at session' -a '(__kiv_sessions)' -d session
complete -c kiv -n '__kiv_at command' -a '(__fish_complete_command)'
complete -c kiv -n '__kiv_at args' -a '(__kiv_command_args)'

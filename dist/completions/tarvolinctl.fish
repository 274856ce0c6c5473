# fish completion for tarvolinctl
set -l commands raise close quit kill json sometext keys pasteboard watch windows switch inspect press set
complete -c tarvolinctl -f
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -l version -d 'print the version'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a raise -d 'raise a window'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a close -d 'close a window'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a quit -d 'quit an application that has a window'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a kill -d 'stop the agent'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a json -d 'place raw text on the pasteboard'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a sometext -d 'store raw text under SomeText'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a keys -d 'the key-label table (WinKey)'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a pasteboard -d "the agent's pasteboard"
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a watch -d "print the agent's notifications"
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a windows -d 'print the window inventory'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a switch -d 'pick a window in a menu program'
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a inspect -d "print a window's elements"
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a press -d "perform an element's action"
complete -c tarvolinctl -n "not __fish_seen_subcommand_from $commands" -a set -d "write an element's attribute"
complete -c tarvolinctl -n "__fish_seen_subcommand_from inspect" -l depth -x -d 'levels below the window'
complete -c tarvolinctl -n "__fish_seen_subcommand_from inspect" -l json -d 'as a JSON tree'
complete -c tarvolinctl -n "__fish_seen_subcommand_from press" -l action -x -d 'the action (AXPress)'
complete -c tarvolinctl -n "__fish_seen_subcommand_from raise close quit json" -l channel -x -a 'pasteboard defaults'
complete -c tarvolinctl -n "__fish_seen_subcommand_from raise close quit json" -l wait -x -d 'ms to wait for a pending command'
complete -c tarvolinctl -n "__fish_seen_subcommand_from raise close quit json" -l force -d 'replace a pending command'
complete -c tarvolinctl -n "__fish_seen_subcommand_from raise" -l activate -x -d 'application to activate first'
complete -c tarvolinctl -n "__fish_seen_subcommand_from quit" -l file -r -d 'application file name'
complete -c tarvolinctl -n "__fish_seen_subcommand_from keys" -a 'set show remove'
complete -c tarvolinctl -n "__fish_seen_subcommand_from pasteboard" -a 'show clear'
complete -c tarvolinctl -n "__fish_seen_subcommand_from watch" -l count -x -d 'exit after this many'
complete -c tarvolinctl -n "__fish_seen_subcommand_from windows" -l json -d 'as a JSON list'
complete -c tarvolinctl -n "__fish_seen_subcommand_from switch" -l menu -x -d 'menu program'
complete -c tarvolinctl -n "__fish_seen_subcommand_from switch" -l action -x -a 'raise close quit'
complete -c tarvolinctl -n "__fish_seen_subcommand_from switch" -l timeout -x -d 'seconds to wait for a choice'

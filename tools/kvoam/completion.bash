# bash completion of kvoam's command line: its options, check's options after
# --check, the kinds of --type, the products of --product (asked of the kvoam
# being completed, blanks left out as check accepts them) and files.
_kvoam() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local word check=0 i
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        [ "$word" = -- ] && break
        [ "$word" = --check ] && check=1
    done
    COMPREPLY=()
    case $prev in
    --plugin)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    -c) return ;;
    --type)
        [ $check = 1 ] && mapfile -t COMPREPLY < <(compgen -W 'configuration coefficients image' -- "$cur")
        return
        ;;
    --product)
        if [ $check = 1 ]; then
            local products
            products=$("${COMP_WORDS[0]}" -c 'init; get - Products[0]; get - Products[1]; get - Products[2];
                get - Products[3]; get - Products[4]; get - Products[5]; get - Products[6]; get - Products[7]' \
                2>/dev/null | sed -n 's/^GetKeyword(.*) -> 0x00000000 ok: //p' | tr -d ' ')
            mapfile -t COMPREPLY < <(compgen -W "$products" -- "$cur")
        fi
        return
        ;;
    esac
    if [[ $cur == -* && $i == "$COMP_CWORD" ]]; then
        if [ $check = 1 ]; then
            mapfile -t COMPREPLY < <(compgen -W '--json --product --emulator --type --' -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W '--json --no-history --plugin --check --version --help -c -h --' -- "$cur")
        fi
        return
    fi
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -o filenames -F _kvoam kvoam

# SPDX-License-Identifier: GPL-3.0-or-later
# bash completion for colormatch
_colormatch()
{
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    case "$prev" in
        -o|--output|--preview|--size-file|--target-mask|--reference-mask|-r|--reference|--lut|--from-list|--apply-lut|--series-from)
            COMPREPLY=($(compgen -f -- "$cur")); return ;;
        -d|--output-dir)
            COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --format)
            COMPREPLY=($(compgen -W "png jpg tif webp bmp" -- "$cur")); return ;;
        --depth)
            COMPREPLY=($(compgen -W "8 16" -- "$cur")); return ;;
        -s|--strength|--gain-limit|--lut-size|--quality|--png-level|-j|--jobs)
            return ;;
    esac
    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "-o --output -s --strength --gain-limit --depth --match-lightness --no-opencl --lut --lut-size --preview
            --size-file --target-mask --reference-mask -r --reference -d --output-dir --format -j --jobs --quality --lossless --png-level
            -n --no-clobber --from-list -0 --null --json --info --verbose -h --help -v --version --apply-lut --series-from --series" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _colormatch colormatch

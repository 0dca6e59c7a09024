#!/usr/bin/env bash
# Fetches the neural recognizer's runtime (sherpa-onnx's C API and onnxruntime, as the npm package
# sherpa-onnx-linux-x64 ships them for this platform) into a cache outside the source tree, where
# the build finds it:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/quorvel/sherpa-onnx-1.13.8/{libsherpa-onnx-c-api.so,...}
# The tarball's sha512 must match the one pinned here, which is the registry's for this version.
# Without npm, or when the registry cannot be reached, it says so and succeeds: the build then goes
# on without the neural recognizer.
#   scripts/fetch-sherpa.sh            # prints the directory on success
set -euo pipefail

version=1.13.8
package=sherpa-onnx-linux-x64
integrity='sha512-6plnhjagsSeTntCgnlag86hWbs/uZE9Crms1LgOb68/1nKsIQjMd+WG519m+aPwT6TrsBOiEMzrx41t8sL5L5g=='
cache=${XDG_CACHE_HOME:-$HOME/.cache}
[ "${cache#/}" != "$cache" ] || cache=$HOME/.cache
target=$cache/quorvel/sherpa-onnx-$version

if [ -f "$target/libsherpa-onnx-c-api.so" ] && [ -f "$target/libonnxruntime.so" ]; then
  echo "$target"
  exit 0
fi
if [ "$(uname -sm)" != "Linux x86_64" ]; then
  echo "sherpa-onnx: no $package for $(uname -sm); building without the neural recognizer" >&2
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  echo "sherpa-onnx: npm is not installed; building without the neural recognizer" >&2
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-sherpa.XXXXXX")
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && npm pack --silent "$package@$version" >/dev/null 2>"$work/npm.log"); then
  echo "sherpa-onnx: npm pack $package@$version failed; building without the neural recognizer" >&2
  sed 's/^/  /' "$work/npm.log" >&2 || true
  exit 0
fi
tarball=$work/$package-$version.tgz
# npm implies node, which hashes without any further tool.
actual="sha512-$(node -e 'const c=require("crypto"),f=require("fs");
process.stdout.write(c.createHash("sha512").update(f.readFileSync(process.argv[1])).digest("base64"))' "$tarball")"
if [ "$actual" != "$integrity" ]; then
  echo "sherpa-onnx: $tarball has $actual, expected $integrity; not using it" >&2
  exit 1
fi
mkdir -p "$work/unpacked"
tar -xzf "$tarball" -C "$work/unpacked"
for lib in libsherpa-onnx-c-api.so libonnxruntime.so; do
  if [ ! -f "$work/unpacked/package/$lib" ]; then
    echo "sherpa-onnx: the package has no $lib" >&2
    exit 1
  fi
done
mkdir -p "$(dirname "$target")"
rm -rf "$target.tmp"
mv "$work/unpacked/package" "$target.tmp"
rm -rf "$target"
mv "$target.tmp" "$target"
echo "sherpa-onnx $version unpacked into $target" >&2
echo "$target"

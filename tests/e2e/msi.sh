# An MSI built out of a package's WiX fragment (stub-check export --format wxs),
# as a package's author would build one. Sourced by the end-to-end tests.

# msi_build NAME ARCH: in the current folder, which holds NAME.dll, its folder
# NAME/ and its fragment NAME.wxs, writes product-NAME.wxs (a product
# "Tarvo NAME" installing the fragment's group NAME into Program Files\Tarvo
# NAME, per machine) and builds NAME.msi from both with wixl for ARCH (x64 or
# x86: without it wixl builds a 32-bit package whatever the source says), then
# sets the module's file version in its File table as the fragment says.
# wixl's messages go to standard output and error; answers wixl's exit code.
msi_build() {
  local name=$1 arch=$2 program_files=ProgramFilesFolder upgrade
  [[ $arch == x64 ]] && program_files=ProgramFiles64Folder
  upgrade=$(cat /proc/sys/kernel/random/uuid)
  cat >"product-$name.wxs" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Tarvo $name" Language="1033" Version="1.0.0" Manufacturer="Tarvo"
           UpgradeCode="$upgrade">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <MediaTemplate EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="$program_files">
        <Directory Id="INSTALLFOLDER" Name="Tarvo $name"/>
      </Directory>
    </Directory>
    <Feature Id="Package" Level="1">
      <ComponentGroupRef Id="$name"/>
    </Feature>
  </Product>
</Wix>
EOF
  wixl -a "$arch" -D SourceDir=. -o "$name.msi" "product-$name.wxs" "$name.wxs" || return
  # wixl writes no file version into the File table; the fragment's header
  # comment gives the msibuild command that sets the module's, run as written.
  local set_version
  set_version=$(sed -n 's/^ *\(msibuild .*\)$/\1/p' "$name.wxs")
  [[ -z $set_version ]] || eval "$set_version"
}

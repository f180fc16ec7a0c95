// ListPackages: the registered style packages (or those kept unregistered in
// the folder given), each with its state and the fact behind it, through the
// package catalog, late-bound; a package whose checks fail is refused with
// an exception whose message names its state and what to do. Exit code 0
// when the catalog answered, 1 when it could not be created.
using System;
using System.Runtime.InteropServices;

Type type = Type.GetTypeFromProgID("Stub.PackageCatalog");
if (type == null)
{
    Console.Error.WriteLine("Stub.PackageCatalog is not registered for a 64-bit process: regsvr32 x64\\StubHost.dll");
    return 1;
}
dynamic catalog = Activator.CreateInstance(type);
dynamic packages = args.Length > 0 ? catalog.FindInFolder(args[0]) : catalog.FindRegistered();
foreach (dynamic package in packages)
{
    Console.WriteLine($"{package.Name} {package.State} {package.Detail}");
    try
    {
        dynamic style = package.CreateStyle();
        Console.WriteLine("  created");
    }
    catch (COMException e)
    {
        Console.WriteLine($"  {e.Message}");
    }
}
// Item is the default member: an indexer reaches it.
if (packages.Count > 0) Console.WriteLine($"first: {packages[0].Name}");
return 0;

' What a Windows user would write instead: the daily job as a Windows Script Host script.
' Usage: cscript //nologo daily.vbs ROOT REPORTDIR
Option Explicit
Dim fso, root, rep, logPath, stamp, folder, mirror, d
Set fso = CreateObject("Scripting.FileSystemObject")
root = WScript.Arguments(0)
rep = WScript.Arguments(1)
logPath = rep & "\InformeMorvane.txt"
d = Now
stamp = Year(d) & Right("0" & Month(d), 2) & Right("0" & Day(d), 2)

Sub Report(message)
  Dim f, s
  If Not fso.FolderExists(rep) Then fso.CreateFolder rep
  If fso.FileExists(logPath) Then
    Set f = fso.GetFile(logPath)
    If f.Size > 10000 Then
      f.Delete True
      Exit Sub
    End If
  End If
  Set s = fso.OpenTextFile(logPath, 8, True, 0)
  s.WriteLine Now & "  ||  " & message
  s.Close
End Sub

folder = root & "\" & stamp
If fso.FolderExists(folder) Then
  Report "Ya existia la carpeta " & folder
Else
  If Not fso.FolderExists(root) Then fso.CreateFolder root
  fso.CreateFolder folder
  Report "Se ha creado la carpeta " & folder
End If
mirror = folder & "\Mirror.txt"
If fso.FileExists(mirror) Then
  Report "Ya existia el archivo Mirror.txt"
Else
  fso.CreateTextFile(mirror, False, False).Close
  Report "Se ha creado el archivo Mirror.txt"
End If
Dim m
Set m = fso.OpenTextFile(mirror, 8, False, 0)
m.WriteLine stamp
m.Close

C:\windows\system32\quorvel.exe /N
C:\WINDOWS\SYSTEM\quorvel.exe /N
MSCDEX /D:MSCD001

1:rs0:27017:1700000123:42
Hostname:db2.example.test
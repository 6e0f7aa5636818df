rs0:27017:1700000456:42
Hostname:db2.example.test
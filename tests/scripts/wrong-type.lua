-- Gives a number where the exchange wants digits as a string.
exchange.party{number = 5551234}
